#include "display/spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vexdaq_panel {

struct Spectrum::Plan {
  double *in = nullptr;
  fftw_complex *out = nullptr;
  fftw_plan plan = nullptr;
  ~Plan() {
    if (plan != nullptr) fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
  }
};

Spectrum::Spectrum(uint32_t size, SpectrumWindow window, uint32_t averages, double full_scale)
    : size_(size),
      window_kind_(window),
      averages_(std::max<uint32_t>(1, averages)),
      window_(size),
      power_(size / 2 + 1, 0.0),
      levels_(size / 2 + 1, 0.0f),
      plan_(std::make_unique<Plan>()) {
  const double n = size;
  double sum = 0;
  for (uint32_t i = 0; i < size; ++i) {
    const double x = 2 * std::numbers::pi * i / n;
    double w = 1.0;
    if (window == SpectrumWindow::kHann) w = 0.5 - 0.5 * std::cos(x);
    if (window == SpectrumWindow::kBlackmanHarris)
      w = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
    window_[i] = w;
    sum += w;
  }
  // A sine of amplitude A gives |X| = A * sum(w) / 2 at its bin.
  scale_ = 2.0 / (sum * std::max(1.0, full_scale));
  plan_->in = fftw_alloc_real(size);
  plan_->out = fftw_alloc_complex(size / 2 + 1);
  plan_->plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), plan_->in, plan_->out, FFTW_ESTIMATE);
}

Spectrum::~Spectrum() = default;

const std::vector<float> &Spectrum::add(const int32_t *samples) {
  for (uint32_t i = 0; i < size_; ++i) plan_->in[i] = samples[i] * window_[i];
  fftw_execute(plan_->plan);
  count_ = std::min(count_ + 1, averages_);
  // Exponential mean over about `averages_` spectra; the first ones weigh in fully.
  const double weight = 1.0 / count_;
  for (size_t k = 0; k < power_.size(); ++k) {
    const double re = plan_->out[k][0] * scale_;
    const double im = plan_->out[k][1] * scale_;
    power_[k] += weight * (re * re + im * im - power_[k]);
    levels_[k] = static_cast<float>(10.0 * std::log10(std::max(power_[k], 1e-30)));
  }
  return levels_;
}

}  // namespace vexdaq_panel
