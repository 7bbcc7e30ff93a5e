// The binary WebSocket frames the panel sends: what a browser draws and what any other program
// can read to watch a running acquisition. Every field is little-endian and aligned to its size.
//
// Common header (8 bytes):
//    0  u32  magic 0x50445856 ("VXDP" as bytes)
//    4  u16  layout version, 1
//    6  u16  kind: 1 scope, 2 spectrum
//
// Scope frame (kind 1): per-pixel min/max of every enabled input channel.
//    8  u16  n, channels in the frame
//   10  u16  flags: bit 0 a triggered sweep (else rolling), bit 1 the display is paused
//   12  u32  w, columns (pixels across)
//   16  u32  input rate, Hz
//   20  u32  sample bits (16, 24 or 32)
//   24  u32  samples per column
//   28  u32  trigger column of a sweep (0xFFFFFFFF when rolling or forced by auto)
//   32  i64  stream frame index (from the stream's start) of column 0's first sample; negative
//            while the rolling view is not yet full
//   40  u8   channel numbers [n], then zero bytes up to a multiple of 4
//   ..  i32  per channel in that order: min [w], then max [w]; a column without samples holds
//            min = INT32_MAX, max = INT32_MIN
//
// Spectrum frame (kind 2): the averaged magnitude spectrum of one channel.
//    8  u16  channel
//   10  u16  window: 0 rectangular, 1 Hann, 2 Blackman-Harris
//   12  u32  bins (FFT size / 2 + 1); bin k lies at k * rate / FFT size Hz
//   16  u32  input rate, Hz
//   20  u32  spectra averaged into this one
//   24  f32  level of each bin in dB relative to a full-scale sine [bins]
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vexdaq_panel {

constexpr uint32_t kFrameMagic = 0x50445856;
constexpr uint16_t kFrameVersion = 1;
constexpr uint16_t kKindScope = 1;
constexpr uint16_t kKindSpectrum = 2;
constexpr size_t kScopeHeaderBytes = 40;
constexpr size_t kSpectrumHeaderBytes = 24;
constexpr uint32_t kNoTriggerColumn = 0xFFFFFFFF;

struct ScopeFrameInfo {
  bool triggered = false;
  bool paused = false;
  uint32_t columns = 0;
  uint32_t rate = 0;
  uint32_t sample_bits = 0;
  uint32_t samples_per_column = 1;
  uint32_t trigger_column = kNoTriggerColumn;
  int64_t first_frame = 0;
};

// minima and maxima hold channels.size() * info.columns values, channel by channel.
std::vector<uint8_t> encode_scope_frame(const ScopeFrameInfo &info,
                                        std::span<const uint8_t> channels,
                                        std::span<const int32_t> minima,
                                        std::span<const int32_t> maxima);

std::vector<uint8_t> encode_spectrum_frame(uint16_t channel, uint16_t window, uint32_t rate,
                                           uint32_t averaged, std::span<const float> levels_db);

}  // namespace vexdaq_panel
