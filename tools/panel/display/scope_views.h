// What the scope shows, reduced on the server to a min/max pair per pixel column so that a
// browser draws a fixed amount whatever the rate: the rolling view (the newest samples, always
// moving) and the triggered sweep (a window placed around a level crossing of one channel).
// Both are fed blocks of decoded samples by the acquisition thread, which alone uses them.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace vexdaq_panel {

constexpr int32_t kEmptyMin = std::numeric_limits<int32_t>::max();
constexpr int32_t kEmptyMax = std::numeric_limits<int32_t>::min();

// One block of the stream: samples[c] holds `frames` samples of the c-th displayed channel.
struct SampleBlock {
  const std::vector<std::vector<int32_t>> *samples = nullptr;
  size_t frames = 0;
};

// Per-pixel min/max of `columns` columns of `samples_per_column` frames each, channel by channel
// (the layout of the scope frame).
struct Columns {
  uint32_t columns = 0;
  uint32_t samples_per_column = 1;
  int64_t first_frame = 0;  // stream frame of column 0's first sample; negative: not yet full
  uint32_t trigger_column = 0xFFFFFFFF;
  std::vector<int32_t> minima;
  std::vector<int32_t> maxima;
};

class RollingView {
 public:
  // columns >= 1, samples_per_column >= 1. Forgets everything seen.
  void reset(size_t channels, uint32_t columns, uint32_t samples_per_column);
  void add(const SampleBlock &block);
  // The newest `columns` columns, oldest first; the newest may still be filling.
  Columns snapshot() const;

 private:
  size_t channels_ = 0;
  uint32_t columns_ = 1;
  uint32_t per_column_ = 1;
  uint64_t frames_ = 0;
  std::vector<int32_t> min_;  // channel c, column slot s at c * columns_ + s
  std::vector<int32_t> max_;
};

enum class SweepMode { kAuto, kNormal, kSingle };

struct TriggerSettings {
  size_t channel = 0;  // index among the displayed channels
  int32_t level = 0;
  bool rising = true;
  double pre_share = 0.25;  // part of the window before the trigger, 0 .. 1
  SweepMode mode = SweepMode::kAuto;
  uint64_t auto_after_frames = 0;  // auto: a sweep without a trigger after this many frames
};

class SweepView {
 public:
  // A window of columns * samples_per_column frames; max_block_frames bounds the blocks add()
  // takes (the history kept is one window and one block). Armed afterwards.
  void reset(size_t channels, uint32_t columns, uint32_t samples_per_column,
             size_t max_block_frames, const TriggerSettings &trigger);
  // Returns true when a sweep completed with this block: take it with take_sweep(). A block
  // longer than max_block_frames is refused (false, nothing kept).
  bool add(const SampleBlock &block);
  // The completed sweep, once; the view stays disarmed until arm().
  std::optional<Columns> take_sweep();
  // Looks for the next trigger from the newest frame on (single mode: the next one only).
  void arm();
  bool armed() const { return armed_; }

 private:
  void finish(uint64_t start, std::optional<uint64_t> trigger);

  size_t channels_ = 0;
  uint32_t columns_ = 1;
  uint32_t per_column_ = 1;
  uint64_t window_ = 1;
  uint64_t pre_ = 0;
  size_t capacity_ = 1;
  size_t max_block_ = 0;
  TriggerSettings trigger_;
  std::vector<std::vector<int32_t>> ring_;  // per channel, frame f at f % capacity_
  uint64_t frames_ = 0;
  std::optional<int32_t> previous_;  // the trigger channel's last sample
  bool armed_ = true;
  uint64_t armed_at_ = 0;
  std::optional<uint64_t> pending_;  // a trigger frame whose window is still filling
  std::optional<Columns> done_;
};

}  // namespace vexdaq_panel
