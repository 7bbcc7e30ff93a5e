// The spectrum view: the magnitude spectrum of one channel (FFTW, real input), windowed and
// averaged over the latest spectra. Used by the acquisition thread only (FFTW's planner is not
// thread-safe, and each Spectrum owns its plan).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace vexdaq_panel {

enum class SpectrumWindow : uint16_t { kRectangular = 0, kHann = 1, kBlackmanHarris = 2 };

class Spectrum {
 public:
  // size: a power of two, 16 .. 65536; averages >= 1: spectra in the running mean of power.
  // full_scale: the largest sample, so that a full-scale sine reads 0 dB.
  Spectrum(uint32_t size, SpectrumWindow window, uint32_t averages, double full_scale);
  ~Spectrum();
  Spectrum(const Spectrum &) = delete;
  Spectrum &operator=(const Spectrum &) = delete;

  uint32_t size() const { return size_; }
  // Adds one spectrum of `size` samples; returns the averaged levels in dB (size / 2 + 1 bins).
  const std::vector<float> &add(const int32_t *samples);
  uint32_t averaged() const { return count_; }
  SpectrumWindow window() const { return window_kind_; }

 private:
  struct Plan;
  uint32_t size_;
  SpectrumWindow window_kind_;
  uint32_t averages_;
  double scale_;  // turns |X| into the amplitude of a sine relative to full scale
  std::vector<double> window_;
  std::vector<double> power_;  // running mean
  std::vector<float> levels_;
  uint32_t count_ = 0;
  std::unique_ptr<Plan> plan_;
};

}  // namespace vexdaq_panel
