#include "stream/gap_detector.h"

#include <algorithm>
#include <cmath>

namespace vexdaq {

namespace {

constexpr double kNs = 1e-9;
// What a crystal may be off before the fit has measured it (they are specified to tens of ppm).
constexpr double kDriftBound = 300e-6;
// The drift the fit may still be wrong by once it has many windows.
constexpr double kDriftFloor = 5e-6;

}  // namespace

int64_t GapDetector::window_for(double rate, int32_t packet_frames, int32_t depth) {
  int64_t window = 200'000'000;
  if (rate > 0 && packet_frames > 0) {
    // Rounded, not truncated: x87 arithmetic (32-bit builds) lands a hair below whole values.
    const double packet_ns = packet_frames / rate * 1e9;
    window = std::max<int64_t>(window, std::llround(4 * packet_ns));
    window = std::max<int64_t>(window, std::llround(2 * packet_ns * std::max(depth, 1)));
  }
  return window;
}

void GapDetector::begin(double rate, int32_t packet_frames, int64_t window_ns, int64_t start_ns) {
  *this = GapDetector();
  rate_ = rate;
  packet_frames_ = packet_frames;
  window_ns_ = std::max<int64_t>(window_ns, 1);
  start_ns_ = start_ns;
  for (int64_t &at : good_ns_) at = start_ns;
}

double GapDetector::predicted(double tau) const {
  if (points_ == 0) return 0;
  const double n = static_cast<double>(points_);
  if (points_ == 1) return sum_v_;
  const double denominator = n * sum_tt_ - sum_t_ * sum_t_;
  const double slope = denominator > 0 ? (n * sum_tv_ - sum_t_ * sum_v_) / denominator : 0;
  const double intercept = (sum_v_ - slope * sum_t_) / n;
  return intercept + slope * (tau - tau0_);
}

double GapDetector::allowance(double tau) const {
  const double uncertainty =
      points_ < 2 ? kDriftBound : std::max(kDriftFloor, kDriftBound / static_cast<double>(points_));
  const double since = points_ < 2 ? tau - tau0_ : tau - last_tau_;
  return packet_frames_ + 4 * spread_ + rate_ * uncertainty * std::max(since, 0.0);
}

void GapDetector::add_point(double tau, double value) {
  if (points_ == 0) tau0_ = tau;
  const double t = tau - tau0_;
  ++points_;
  last_tau_ = tau;
  sum_t_ += t;
  sum_v_ += value;
  sum_tt_ += t * t;
  sum_tv_ += t * value;
}

bool GapDetector::close_window(GapRecord *gap) {
  window_open_ = false;
  closed_start_[1] = closed_start_[0];
  closed_start_[0] = window_start_;
  const double tau = window_min_tau_;
  const double value = window_min_ - lost_;
  if (points_ == 0) {
    add_point(tau, value);
    return false;
  }
  const double excess = value - predicted(tau);
  if (excess <= allowance(tau)) {
    pending_ = false;
    // Residuals count once a line predicts them; one point's flat guess says nothing of jitter.
    if (points_ >= 2) {
      spread_ +=
          (std::fabs(excess) - spread_) / std::min<double>(static_cast<double>(points_ - 1), 16);
    }
    add_point(tau, value);
    return false;
  }
  if (!pending_) {
    pending_ = true;
    pending_excess_ = excess;
    return false;
  }
  // Two windows in a row above the line: frames that will not come.
  pending_ = false;
  const double size = std::min(pending_excess_, excess);
  const int64_t count = std::max<int64_t>(1, std::llround(size));
  lost_ += size;
  missing_ += count;
  add_point(tau, window_min_ - lost_);
  if (gap != nullptr) {
    const double base = allowance(tau);
    int k = 0;
    while (k + 1 < kLadder && base * static_cast<double>(1 << (k + 1)) <= size / 2) ++k;
    gap->frame_index = good_received_[k];
    gap->host_time_ns = good_ns_[k];
    gap->frame_count = count;
  }
  return true;
}

bool GapDetector::add(int64_t frames, int64_t now_ns, GapRecord *gap) {
  if (rate_ <= 0 || now_ns < start_ns_ || frames < 0) return false;
  bool found = false;
  if (window_open_ && now_ns >= window_end_ns_) found = close_window(gap);
  received_ += frames;
  const double tau = static_cast<double>(now_ns - start_ns_) * kNs;
  const double deficit = rate_ * tau - static_cast<double>(received_);
  if (!window_open_) {
    window_open_ = true;
    window_start_ = received_ - frames;
    window_end_ns_ = now_ns + window_ns_;
    window_min_ = deficit;
    window_min_tau_ = tau;
  } else if (deficit < window_min_) {
    window_min_ = deficit;
    window_min_tau_ = tau;
  }
  // Judged against the line as it stands; before the first window everything counts as good.
  const double excess = points_ == 0 ? 0 : deficit - lost_ - predicted(tau);
  double threshold = allowance(tau);
  for (int k = 0; k < kLadder; ++k, threshold *= 2) {
    if (excess > threshold) continue;
    good_received_[k] = received_;
    good_ns_[k] = now_ns;
  }
  return found;
}

double GapDetector::drift_ppm() const {
  if (!fitted() || rate_ <= 0) return 0;
  const double slope = predicted(tau0_ + 1) - predicted(tau0_);  // frames/s the deficit grows
  return -slope / rate_ * 1e6;
}

int64_t GapDetector::first_frame_ns() const {
  if (!fitted()) return start_ns_;
  const double true_rate = rate_ * (1 + drift_ppm() * 1e-6);
  if (true_rate <= 0) return start_ns_;
  const double offset = predicted(0);  // frames the device was behind the start, at time 0
  return start_ns_ + static_cast<int64_t>(std::llround(offset / true_rate * 1e9));
}

}  // namespace vexdaq
