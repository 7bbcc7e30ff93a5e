#include "cli/stream_clock.h"

#include <chrono>
#include <cstdio>

namespace vexdaq_cli {

void StreamClock::refresh() {
  vexdaq_get_stream_timing(&timing_);
  gaps_.resize(64);
  const int32_t n = vexdaq_get_stream_gaps(gaps_.data(), 64, &totals_);
  gaps_.resize(n > 0 ? static_cast<size_t>(n) : 0);
}

double StreamClock::seconds(int64_t k) const {
  const double rate = timing_.rate * (1 + timing_.drift_ppm * 1e-6);
  if (!(rate > 0)) return 0;
  int64_t missing = 0;
  for (const vexdaq_stream_gap &g : gaps_) {
    if (g.frame_index <= k) missing += g.frame_count;
  }
  return static_cast<double>(k + missing) / rate;
}

std::string StreamClock::start_utc() const {
  return timing_.started ? iso8601_utc(timing_.start_utc_ns) : "";
}

std::string StreamClock::first_frame_utc() const {
  if (!timing_.started) return "";
  return iso8601_utc(timing_.start_utc_ns +
                     (timing_.first_frame_monotonic_ns - timing_.start_monotonic_ns));
}

void SettlingWriter::write(const uint8_t *frames, int64_t count, int64_t settled) {
  if (!hold_) {
    writer_.write(frames, count);
    written_ += count;
    return;
  }
  blocks_.emplace_back(frames, frames + static_cast<size_t>(count) * frame_bytes_);
  held_bytes_ += blocks_.back().size();
  while (!blocks_.empty()) {
    const auto block_frames = static_cast<int64_t>(blocks_.front().size() / frame_bytes_);
    if (written_ + block_frames > settled && held_bytes_ <= kMaxHeldBytes) break;
    writer_.write(blocks_.front().data(), block_frames);
    written_ += block_frames;
    held_bytes_ -= blocks_.front().size();
    blocks_.pop_front();
  }
}

void SettlingWriter::flush() {
  for (const std::vector<uint8_t> &block : blocks_) {
    const auto block_frames = static_cast<int64_t>(block.size() / frame_bytes_);
    writer_.write(block.data(), block_frames);
    written_ += block_frames;
  }
  blocks_.clear();
  held_bytes_ = 0;
}

// Calendar arithmetic of <chrono>: gmtime_r is not there on every platform the tool builds for.
std::string iso8601_utc(int64_t ns) {
  using namespace std::chrono;
  const sys_time<microseconds> at{duration_cast<microseconds>(nanoseconds(ns))};
  const auto day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

std::string utc_now_iso8601() {
  using namespace std::chrono;
  return iso8601_utc(duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace vexdaq_cli
