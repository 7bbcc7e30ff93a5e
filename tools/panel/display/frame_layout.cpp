#include "display/frame_layout.h"

#include <bit>
#include <cstring>

namespace vexdaq_panel {

namespace {

class Writer {
 public:
  explicit Writer(size_t size) : bytes_(size, 0) {}
  template <typename T>
  void put(T value) {
    // The hosts the panel runs on are little-endian, as the layout is.
    std::memcpy(bytes_.data() + at_, &value, sizeof value);
    at_ += sizeof value;
  }
  template <typename T>
  void put_all(std::span<const T> values) {
    if (!values.empty()) std::memcpy(bytes_.data() + at_, values.data(), values.size_bytes());
    at_ += values.size_bytes();
  }
  void skip_to(size_t at) { at_ = at; }
  size_t at() const { return at_; }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  size_t at_ = 0;
};

static_assert(std::endian::native == std::endian::little, "the frame layout is little-endian");

}  // namespace

std::vector<uint8_t> encode_scope_frame(const ScopeFrameInfo &info,
                                        std::span<const uint8_t> channels,
                                        std::span<const int32_t> minima,
                                        std::span<const int32_t> maxima) {
  const size_t ids = (channels.size() + 3) / 4 * 4;
  const size_t values = channels.size() * info.columns;
  Writer out(kScopeHeaderBytes + ids + 2 * values * sizeof(int32_t));
  out.put<uint32_t>(kFrameMagic);
  out.put<uint16_t>(kFrameVersion);
  out.put<uint16_t>(kKindScope);
  out.put<uint16_t>(static_cast<uint16_t>(channels.size()));
  out.put<uint16_t>(static_cast<uint16_t>((info.triggered ? 1 : 0) | (info.paused ? 2 : 0)));
  out.put<uint32_t>(info.columns);
  out.put<uint32_t>(info.rate);
  out.put<uint32_t>(info.sample_bits);
  out.put<uint32_t>(info.samples_per_column);
  out.put<uint32_t>(info.trigger_column);
  out.put<int64_t>(info.first_frame);
  out.put_all(channels);
  out.skip_to(kScopeHeaderBytes + ids);
  for (size_t c = 0; c < channels.size(); ++c) {
    out.put_all(minima.subspan(c * info.columns, info.columns));
    out.put_all(maxima.subspan(c * info.columns, info.columns));
  }
  return out.take();
}

std::vector<uint8_t> encode_spectrum_frame(uint16_t channel, uint16_t window, uint32_t rate,
                                           uint32_t averaged, std::span<const float> levels_db) {
  Writer out(kSpectrumHeaderBytes + levels_db.size_bytes());
  out.put<uint32_t>(kFrameMagic);
  out.put<uint16_t>(kFrameVersion);
  out.put<uint16_t>(kKindSpectrum);
  out.put<uint16_t>(channel);
  out.put<uint16_t>(window);
  out.put<uint32_t>(static_cast<uint32_t>(levels_db.size()));
  out.put<uint32_t>(rate);
  out.put<uint32_t>(averaged);
  out.put_all(levels_db);
  return out.take();
}

}  // namespace vexdaq_panel
