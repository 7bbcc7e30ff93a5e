#include "display/scope_views.h"

#include <algorithm>
#include <cmath>

namespace vexdaq_panel {

void RollingView::reset(size_t channels, uint32_t columns, uint32_t samples_per_column) {
  channels_ = channels;
  columns_ = std::max<uint32_t>(1, columns);
  per_column_ = std::max<uint32_t>(1, samples_per_column);
  frames_ = 0;
  min_.assign(channels_ * columns_, kEmptyMin);
  max_.assign(channels_ * columns_, kEmptyMax);
}

void RollingView::add(const SampleBlock &block) {
  const size_t n = block.frames;
  for (size_t c = 0; c < channels_ && c < block.samples->size(); ++c) {
    const int32_t *values = (*block.samples)[c].data();
    uint64_t frame = frames_;
    size_t i = 0;
    while (i < n) {
      const uint64_t column = frame / per_column_;
      const size_t slot = c * columns_ + static_cast<size_t>(column % columns_);
      const size_t take =
          static_cast<size_t>(std::min<uint64_t>(n - i, (column + 1) * per_column_ - frame));
      int32_t low = frame % per_column_ == 0 ? kEmptyMin : min_[slot];
      int32_t high = frame % per_column_ == 0 ? kEmptyMax : max_[slot];
      for (size_t k = i; k < i + take; ++k) {
        low = std::min(low, values[k]);
        high = std::max(high, values[k]);
      }
      min_[slot] = low;
      max_[slot] = high;
      frame += take;
      i += take;
    }
  }
  frames_ += n;
}

Columns RollingView::snapshot() const {
  Columns out;
  out.columns = columns_;
  out.samples_per_column = per_column_;
  out.minima.assign(channels_ * columns_, kEmptyMin);
  out.maxima.assign(channels_ * columns_, kEmptyMax);
  const int64_t newest = frames_ == 0 ? -1 : static_cast<int64_t>((frames_ - 1) / per_column_);
  const int64_t first = newest - columns_ + 1;
  out.first_frame = first * per_column_;
  for (int64_t column = std::max<int64_t>(first, 0); column <= newest; ++column) {
    const size_t to = static_cast<size_t>(column - first);
    const size_t slot = static_cast<size_t>(column % columns_);
    for (size_t c = 0; c < channels_; ++c) {
      out.minima[c * columns_ + to] = min_[c * columns_ + slot];
      out.maxima[c * columns_ + to] = max_[c * columns_ + slot];
    }
  }
  return out;
}

void SweepView::reset(size_t channels, uint32_t columns, uint32_t samples_per_column,
                      size_t max_block_frames, const TriggerSettings &trigger) {
  channels_ = channels;
  columns_ = std::max<uint32_t>(1, columns);
  per_column_ = std::max<uint32_t>(1, samples_per_column);
  window_ = uint64_t{columns_} * per_column_;
  trigger_ = trigger;
  trigger_.pre_share = std::clamp(trigger.pre_share, 0.0, 1.0);
  pre_ = std::min<uint64_t>(
      window_ - 1,
      static_cast<uint64_t>(std::llround(trigger_.pre_share * static_cast<double>(window_))));
  max_block_ = max_block_frames;
  capacity_ = static_cast<size_t>(window_) + max_block_frames;
  ring_.assign(channels_, std::vector<int32_t>(capacity_, 0));
  frames_ = 0;
  previous_.reset();
  armed_ = true;
  armed_at_ = 0;
  pending_.reset();
  done_.reset();
}

bool SweepView::add(const SampleBlock &block) {
  const size_t n = block.frames;
  if (n > max_block_ || block.samples->size() < channels_) return false;
  for (size_t c = 0; c < channels_; ++c) {
    const int32_t *values = (*block.samples)[c].data();
    for (size_t i = 0; i < n; ++i) ring_[c][(frames_ + i) % capacity_] = values[i];
  }
  const uint64_t first = frames_;
  frames_ += n;
  if (!armed_ || channels_ == 0) {
    if (channels_ > 0 && n > 0) previous_ = (*block.samples)[trigger_.channel][n - 1];
    return false;
  }
  if (!pending_) {
    const int32_t *values = (*block.samples)[trigger_.channel].data();
    for (size_t i = 0; i < n; ++i) {
      const uint64_t frame = first + i;
      const int32_t now = values[i];
      const bool crossed =
          previous_ && (trigger_.rising ? (*previous_ < trigger_.level && now >= trigger_.level)
                                        : (*previous_ > trigger_.level && now <= trigger_.level));
      previous_ = now;
      // A trigger needs the history of its pre-trigger part.
      if (crossed && frame >= armed_at_ && frame >= pre_) {
        pending_ = frame;
        break;
      }
    }
    if (!pending_) {
      previous_ = n > 0 ? std::optional<int32_t>(values[n - 1]) : previous_;
    }
  } else if (n > 0) {
    previous_ = (*block.samples)[trigger_.channel][n - 1];
  }
  if (pending_ && frames_ >= *pending_ - pre_ + window_) {
    finish(*pending_ - pre_, pending_);
    return true;
  }
  if (!pending_ && trigger_.mode == SweepMode::kAuto && frames_ >= window_ &&
      frames_ - armed_at_ >= std::max<uint64_t>(trigger_.auto_after_frames, window_)) {
    finish(frames_ - window_, std::nullopt);
    return true;
  }
  return false;
}

void SweepView::finish(uint64_t start, std::optional<uint64_t> trigger) {
  Columns out;
  out.columns = columns_;
  out.samples_per_column = per_column_;
  out.first_frame = static_cast<int64_t>(start);
  out.trigger_column = trigger ? static_cast<uint32_t>(pre_ / per_column_) : 0xFFFFFFFF;
  out.minima.assign(channels_ * columns_, kEmptyMin);
  out.maxima.assign(channels_ * columns_, kEmptyMax);
  for (size_t c = 0; c < channels_; ++c) {
    for (uint32_t column = 0; column < columns_; ++column) {
      int32_t low = kEmptyMin;
      int32_t high = kEmptyMax;
      const uint64_t from = start + uint64_t{column} * per_column_;
      for (uint64_t f = from; f < from + per_column_; ++f) {
        const int32_t v = ring_[c][f % capacity_];
        low = std::min(low, v);
        high = std::max(high, v);
      }
      out.minima[c * columns_ + column] = low;
      out.maxima[c * columns_ + column] = high;
    }
  }
  done_ = std::move(out);
  pending_.reset();
  armed_ = false;
}

std::optional<Columns> SweepView::take_sweep() {
  std::optional<Columns> out = std::move(done_);
  done_.reset();
  return out;
}

void SweepView::arm() {
  if (armed_) return;
  armed_ = true;
  armed_at_ = frames_;
}

}  // namespace vexdaq_panel
