#include "stream/stream_timing.h"

#include <atomic>
#include <chrono>

#include "platform/sync.h"
#include "platform/thread.h"
#include "session/log.h"
#include "stream/gap_detector.h"

namespace vexdaq {

namespace {

// The newest gaps of the stream kept for the application; older ones live on in the totals.
constexpr int32_t kGapRecordSize = 64;

std::atomic<int64_t> g_rate[2] = {0, 0};

struct Timing {
  platform::Mutex lock;
  GapDetector detector GUARDED_BY(lock);
  int64_t start_monotonic_ns GUARDED_BY(lock) = 0;
  int64_t start_utc_ns GUARDED_BY(lock) = 0;
  int64_t bus_frame GUARDED_BY(lock) = -1;
  int32_t packet_frames GUARDED_BY(lock) = 0;
  int32_t depth GUARDED_BY(lock) = 0;
  bool started GUARDED_BY(lock) = false;
  GapRecord gaps[kGapRecordSize] GUARDED_BY(lock);
  // Of the stream; the newest is gaps[(gaps_seen - 1) % size].
  int64_t gaps_seen GUARDED_BY(lock) = 0;
  uint64_t total_gaps GUARDED_BY(lock) = 0;
  uint64_t total_missing GUARDED_BY(lock) = 0;
};

// Never destroyed: made on first use, it would be destroyed before the exit handler that closes a
// session left open, which uses it.
Timing &timing() {
  static Timing *const t = new Timing;
  return *t;
}

void begin_detector(Timing &t) REQUIRES(t.lock) {
  const double rate = static_cast<double>(g_rate[1].load());
  if (!t.started || rate <= 0 || t.packet_frames <= 0) return;
  t.detector.begin(rate, t.packet_frames, GapDetector::window_for(rate, t.packet_frames, t.depth),
                   t.start_monotonic_ns);
}

}  // namespace

int64_t monotonic_ns() {
  const int64_t count = platform::performance_counter();
  const int64_t frequency = platform::performance_frequency();
  if (frequency == 1'000'000'000) return count;
  return count / frequency * 1'000'000'000 + count % frequency * 1'000'000'000 / frequency;
}

void begin_stream_timing(int64_t out_rate, int64_t in_rate) {
  g_rate[0].store(out_rate);
  g_rate[1].store(in_rate);
  Timing &t = timing();
  platform::MutexLock hold(t.lock);
  t.detector = GapDetector();
  t.start_monotonic_ns = t.start_utc_ns = 0;
  t.bus_frame = -1;
  t.packet_frames = t.depth = 0;
  t.started = false;
  t.gaps_seen = 0;
}

void note_start_bus_frame(uint32_t frame_number) {
  Timing &t = timing();
  platform::MutexLock hold(t.lock);
  t.bus_frame = frame_number;
}

void note_stream_start() {
  // Read back to back: the pair ties the two clocks to within a microsecond or so.
  const int64_t monotonic = monotonic_ns();
  const auto utc = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  Timing &t = timing();
  platform::MutexLock hold(t.lock);
  t.start_monotonic_ns = monotonic;
  t.start_utc_ns = static_cast<int64_t>(utc);
  t.started = true;
  begin_detector(t);
}

int64_t stream_rate(bool input) {
  return g_rate[input ? 1 : 0].load();
}

void begin_input_timing(int32_t packet_frames, int32_t depth) {
  Timing &t = timing();
  platform::MutexLock hold(t.lock);
  t.packet_frames = packet_frames;
  t.depth = depth;
  begin_detector(t);  // when the start was noted first (the priming outran its wait)
}

void add_input_frames(int64_t frames) {
  const int64_t now = monotonic_ns();
  GapRecord gap;
  Timing &t = timing();
  {
    platform::MutexLock hold(t.lock);
    if (!t.detector.add(frames, now, &gap)) return;
    t.gaps[t.gaps_seen % kGapRecordSize] = gap;
    ++t.gaps_seen;
    ++t.total_gaps;
    t.total_missing += static_cast<uint64_t>(gap.frame_count);
  }
  log_print(LogLevel::kEntry, "input stream gap : about %lld frames missing after frame %lld\r\n",
            static_cast<long long>(gap.frame_count), static_cast<long long>(gap.frame_index));
}

int32_t get_stream_timing(vexdaq_stream_timing *out) {
  if (out == nullptr) return -1;
  Timing &t = timing();
  platform::MutexLock hold(t.lock);
  vexdaq_stream_timing result{};
  result.start_monotonic_ns = t.start_monotonic_ns;
  result.start_utc_ns = t.start_utc_ns;
  result.first_frame_monotonic_ns =
      t.detector.begun() ? t.detector.first_frame_ns() : t.start_monotonic_ns;
  result.frames_received = t.detector.frames_received();
  result.frames_settled = t.detector.frames_settled();
  result.drift_ppm = t.detector.drift_ppm();
  result.rate = static_cast<int32_t>(g_rate[1].load());
  result.bus_frame_number = static_cast<int32_t>(t.bus_frame);
  result.fitted = t.detector.fitted() ? 1 : 0;
  result.started = t.started ? 1 : 0;
  *out = result;
  return 0;
}

int32_t get_stream_gaps(vexdaq_stream_gap *gaps, int32_t capacity, vexdaq_gap_totals *totals) {
  if (capacity < 0 || (capacity > 0 && gaps == nullptr)) return -1;
  Timing &t = timing();
  platform::MutexLock hold(t.lock);
  const int64_t kept = t.gaps_seen < kGapRecordSize ? t.gaps_seen : kGapRecordSize;
  const int64_t copied = capacity < kept ? capacity : kept;
  // The newest `copied`, oldest first.
  for (int64_t i = 0; i < copied; ++i) {
    const GapRecord &g = t.gaps[(t.gaps_seen - copied + i) % kGapRecordSize];
    gaps[i].frame_index = g.frame_index;
    gaps[i].frame_count = g.frame_count;
    gaps[i].host_monotonic_ns = g.host_time_ns;
  }
  if (totals != nullptr) {
    totals->stream_gaps = static_cast<uint64_t>(t.gaps_seen);
    totals->stream_frames_missing = static_cast<uint64_t>(t.detector.frames_missing());
    totals->gaps = t.total_gaps;
    totals->frames_missing = t.total_missing;
  }
  return static_cast<int32_t>(copied);
}

}  // namespace vexdaq
