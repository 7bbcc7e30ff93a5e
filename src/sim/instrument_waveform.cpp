// Input frames: the profile's waveforms, or the output looped back.
#include "sim/instrument.h"

#include <cmath>
#include <type_traits>

namespace vexdaq::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

uint64_t mask_bits(uint32_t bits) {
  return bits >= 64 ? ~0ull : ((1ull << bits) - 1);
}

// The counter waveform: the channel number in the sample's top 8 bits and the frame number,
// wrapping, below them; a sample of 8 bits or fewer holds the frame number alone. Made once per
// width, so that the per-sample work is a few register operations.
class CounterWaveform {
 public:
  explicit CounterWaveform(uint32_t bits)
      : mask_(mask_bits(bits)),
        frame_mask_(bits > 8 ? mask_bits(bits - 8) : mask_),
        channel_mask_(bits > 8 ? mask_ : 0),
        channel_shift_(bits > 8 ? bits - 8 : 0) {}

  uint64_t sample(uint32_t channel, uint64_t frame) const {
    return ((uint64_t{channel} << channel_shift_) & channel_mask_) | (frame & frame_mask_);
  }

 private:
  uint64_t mask_;
  uint64_t frame_mask_;
  uint64_t channel_mask_;
  uint32_t channel_shift_;
};

}  // namespace

uint64_t Instrument::sample(uint32_t channel, uint64_t n, uint32_t bits) {
  Waveform w = channel < profile_.channel_waveforms.size() ? profile_.channel_waveforms[channel]
                                                           : profile_.waveform;
  // The free-running benchmarks' waveform: nothing to compute.
  if (w == Waveform::kCounter) return CounterWaveform(bits).sample(channel, n);
  uint64_t mask = mask_bits(bits);
  double amplitude = bits >= 2 ? std::ldexp(1.0, static_cast<int>(bits) - 2) : 0.0;
  double rate = in_rate_ != 0 ? in_rate_ : 1000.0;
  double frequency = 10.0 * (channel % 16 + 1);  // Hz
  switch (w) {
    case Waveform::kCounter:
      break;  // above
    case Waveform::kSine:
      return static_cast<uint64_t>(
                 std::llround(amplitude * std::sin(2.0 * kPi * frequency * n / rate))) &
             mask;
    case Waveform::kSquare: {
      bool high = std::fmod(n * frequency / rate, 1.0) < 0.5;
      return static_cast<uint64_t>(std::llround(high ? amplitude : -amplitude)) & mask;
    }
    case Waveform::kDc:
      return static_cast<uint64_t>(std::llround(amplitude / 8 * (channel % 8 + 1))) & mask;
    case Waveform::kNoise:
      noise_state_ ^= noise_state_ << 13;
      noise_state_ ^= noise_state_ >> 7;
      noise_state_ ^= noise_state_ << 17;
      return noise_state_ & mask;
  }
  return 0;
}

void Instrument::fill_frames(uint8_t *out, uint32_t frames) {
  uint32_t bits = profile_.in_bits;
  uint32_t bytes = bits / 8;
  if (profile_.loopback) {
    uint32_t out_bytes = profile_.out_bits / 8;
    uint32_t out_frame = out_frame_bytes();
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < profile_.in_channels; ++c) {
        for (uint32_t b = 0; b < bytes; ++b) {
          // Output channel c's sample, byte for byte; missing channels and bytes read 0.
          *out++ = c < profile_.out_channels && b < out_bytes ? loopback_[c * out_bytes + b] : 0;
        }
      }
      loopback_.erase(loopback_.begin(), loopback_.begin() + out_frame);
      ++in_produced_;
    }
    counters_.rx_frames += frames;
    return;
  }
  bool counters = bits > 8 && bits <= 64;
  for (uint32_t c = 0; c < profile_.in_channels && counters; ++c) {
    counters = (c < profile_.channel_waveforms.size() ? profile_.channel_waveforms[c]
                                                      : profile_.waveform) == Waveform::kCounter;
  }
  if (counters) {
    // The free-running benchmarks' waveform, written without a call per sample: this runs under
    // the mutex for every packet.
    const uint32_t channels = profile_.in_channels;
    const CounterWaveform counter(bits);
    // Called with the byte count as a constant where it is one the stream can have, so that the
    // compiler writes each sample in one go.
    const auto fill = [&](auto sample_bytes) REQUIRES(mutex_) {
      for (uint32_t f = 0; f < frames; ++f, ++in_produced_) {
        const uint64_t frame = in_produced_;  // read once: the byte stores below may alias it
        for (uint32_t c = 0; c < channels; ++c) {
          const uint64_t v = counter.sample(c, frame);
          for (uint32_t b = 0; b < sample_bytes; ++b) *out++ = static_cast<uint8_t>(v >> (8 * b));
        }
      }
    };
    switch (bytes) {
      case 2:
        fill(std::integral_constant<uint32_t, 2>{});
        break;
      case 3:
        fill(std::integral_constant<uint32_t, 3>{});
        break;
      case 4:
        fill(std::integral_constant<uint32_t, 4>{});
        break;
      default:
        fill(bytes);
    }
    counters_.rx_frames += frames;
    return;
  }
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint32_t c = 0; c < profile_.in_channels; ++c) {
      uint64_t v = sample(c, in_produced_, bits);
      for (uint32_t b = 0; b < bytes; ++b) *out++ = b < 8 ? static_cast<uint8_t>(v >> (8 * b)) : 0;
    }
    ++in_produced_;
  }
  counters_.rx_frames += frames;
}

}  // namespace vexdaq::sim
