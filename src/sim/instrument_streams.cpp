// Bulk endpoints: submission, cancellation and serving at once, the clock thread, and the pacing
// of the rx and tx streams and the UART.
#include "sim/instrument.h"

#include <algorithm>

#include "platform/sync.h"
#include "platform/thread.h"
#include "protocol/driver_types.h"
#include "sim/instrument_internal.h"

namespace vexdaq::sim {
namespace {

// How often the clock thread looks at paced streams: it serves all that fell due meanwhile in one
// pass, while the submitters serve what is due at once themselves.
constexpr auto kClockTick = std::chrono::milliseconds(1);

// value * multiplier / divisor, rounded down or up, without a 128-bit product (32-bit targets
// have none). Exact while multiplier and divisor are below 2^32.
uint64_t scale(uint64_t value, uint64_t multiplier, uint64_t divisor, bool round_up = false) {
  const uint64_t remainder = (value % divisor) * multiplier;
  return value / divisor * multiplier + (remainder + (round_up ? divisor - 1 : 0)) / divisor;
}

}  // namespace

uint32_t Instrument::submit_bulk(uint32_t generation, uint8_t endpoint, uint8_t *buffer,
                                 uint32_t length, BulkCompletion completion, void *context) {
  platform::MutexLock lock(mutex_);
  if (!live(generation)) return kStatusDeviceNotPresent;
  auto found = endpoints_.find(endpoint);
  if (found == endpoints_.end()) return kStatusInvalidParameter;
  Endpoint &ep = found->second;
  const bool alone = ep.pending.empty();
  ep.pending.push_back({buffer, length, completion, context});
  const bool stream = endpoint == kTxStreamEndpoint || endpoint == kRxStreamEndpoint;
  // The clock is read only where a paced stream needs it.
  const bool paced = profile_.pacing == Pacing::kRealtime;
  Clock::time_point now = paced ? Clock::now() : Clock::time_point();
  if (stream && alone) serve_at_once(endpoint, ep, now, at_once_);
  if (at_once_.size() == 1) {
    // The transfer was alone on its endpoint, so it is the one served: nothing to allocate.
    const Done d = at_once_.front();
    at_once_.clear();
    completions_in_flight_.fetch_add(1);
    lock.unlock();
    d.completion(d.context, d.status, d.bytes);
    completion_finished();
    return kStatusSuccess;
  }
  if (!at_once_.empty()) {
    std::vector<Done> done;
    done.swap(at_once_);
    completions_in_flight_.fetch_add(1);
    lock.unlock();
    finish_completions(done);
    return kStatusSuccess;
  }
  if (!paced) now = Clock::now();
  // Queued. The clock thread serves a stream endpoint's whole queue on each pass, so one behind
  // others needs no wake-up, nor one alone when a pass is due within a tick anyway.
  if (!stream || (alone && clock_wake_ > now + kClockTick)) wake_.notify_all();
  return kStatusSuccess;
}

void Instrument::serve_at_once(uint8_t address, Endpoint &ep, Clock::time_point now,
                               std::vector<Done> &done) {
  // What the clock thread would do with it now; anything out of the ordinary streaming state is
  // left to it. A cancel that waits for completions to finish must not be outrun by new ones.
  if (!streaming_ || ep.hang || ep.halted || cpu_ != Cpu::kFirmware || quiet_waiters_.load() != 0) {
    return;
  }
  Clock::time_point unused = Clock::time_point::max();
  if (address == kTxStreamEndpoint) {
    // Looped-back output goes to the clock thread, which serves the reads waiting for it in the
    // same pass: written ahead of them at once, it would overflow the loopback FIFO.
    if (profile_.loopback) return;
    service_tx(now, ep, done, unused);
  } else {
    service_rx(now, ep, done, unused);
  }
}

void Instrument::cancel_endpoint(uint32_t generation, uint8_t endpoint) {
  std::vector<Done> done;
  platform::MutexLock lock(mutex_);
  if (generation == generation_) {
    auto ep = endpoints_.find(endpoint);
    if (ep != endpoints_.end()) {
      for (const Pending &p : ep->second.pending) {
        done.push_back({p.completion, p.context, kStatusCancelled, 0});
      }
      ep->second.pending.clear();
    }
  }
  // A completion the clock thread or a submitter has already taken finishes before we return
  // too.
  wait_quiet();
  if (!done.empty()) run_completions(done);
}

// ---- The clock thread ---------------------------------------------------------------------------

void Instrument::clock_thread() {
  platform::set_current_thread_name("vexdaq-simclock");
  // The instrument's clock is hardware: the host's load should not show as frames the device
  // dropped. Paced, the thread sleeps between ticks, so a real-time class (above the transfer
  // threads, where allowed) is safe; free-running it can serve transfers back to back without
  // blocking and stays in the normal class.
  bool realtime = false;
  platform::raise_current_thread_priority(0);
  platform::MutexLock lock(mutex_);
  std::vector<Done> done;
  while (!stop_thread_) {
    if ((profile_.pacing == Pacing::kRealtime) != realtime) {
      realtime = !realtime;
      platform::raise_current_thread_priority(realtime ? 11 : 0);
    }
    clock_wake_ = Clock::time_point::min();
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = Clock::time_point::max();
    service(now, done, wake);
    if (!done.empty()) {
      run_completions(done);
      continue;
    }
    // Idle: sleep until something is submitted or requested, or the next frames fall due; at a
    // high rate, until a tick's worth has.
    if (wake == Clock::time_point::max()) {
      clock_wake_ = wake;
      wake_.wait(mutex_);
    } else {
      clock_wake_ = std::max(wake, now + kClockTick);
      wake_.wait_until(mutex_, clock_wake_);
    }
  }
}

void Instrument::service(Clock::time_point now, std::vector<Done> &done, Clock::time_point &wake) {
  if (!present_) return;
  for (auto &[address, ep] : endpoints_) {
    if (ep.pending.empty() || ep.hang) continue;
    if (ep.halted) {
      for (const Pending &p : ep.pending)
        done.push_back({p.completion, p.context, kStatusStall, 0});
      ep.pending.clear();
      continue;
    }
    if (cpu_ != Cpu::kFirmware) continue;
    if (address == kTxStreamEndpoint) service_tx(now, ep, done, wake);
    if (address == kRxStreamEndpoint) service_rx(now, ep, done, wake);
  }
  flush_ = false;
  auto out = endpoints_.find(kUartOutEndpoint);
  auto in = endpoints_.find(kUartInEndpoint);
  if (cpu_ == Cpu::kFirmware && out != endpoints_.end() && !out->second.hang &&
      !out->second.halted) {
    for (const Pending &p : out->second.pending) {
      bool loop = profile_.uart_loop && in != endpoints_.end();
      push_bounded(loop ? uart_in_ : uart_out_, p.buffer, p.length, kUartBufferBytes, 1);
      counters_.uart_out_bytes += p.length;
      done.push_back({p.completion, p.context, kStatusSuccess, p.length});
    }
    out->second.pending.clear();
  }
  if (cpu_ == Cpu::kFirmware && in != endpoints_.end() && !in->second.hang && !in->second.halted) {
    auto &pending = in->second.pending;
    while (!pending.empty() && !uart_in_.empty()) {
      const Pending &p = pending.front();
      uint32_t n = std::min<uint32_t>(p.length, static_cast<uint32_t>(uart_in_.size()));
      std::copy(uart_in_.begin(), uart_in_.begin() + n, p.buffer);
      uart_in_.erase(uart_in_.begin(), uart_in_.begin() + n);
      done.push_back({p.completion, p.context, kStatusSuccess, n});
      pending.pop_front();
    }
  }
}

uint64_t Instrument::device_ns(int64_t host) const {
  if (host <= 0) return 0;
  // A fast clock (ppm > 0) has counted more nanoseconds than the host's.
  const long double scaled = static_cast<long double>(host) * (1e6L + profile_.clock_ppm) / 1e6L;
  return static_cast<uint64_t>(scaled);
}

int64_t Instrument::host_ns(uint64_t device) const {
  const long double scaled = static_cast<long double>(device) * 1e6L / (1e6L + profile_.clock_ppm);
  return static_cast<int64_t>(scaled + 0.999L);  // rounded up: a wake-up never comes early
}

uint32_t Instrument::in_frame_bytes() const {
  return profile_.in_channels * (profile_.in_bits / 8);
}
uint32_t Instrument::out_frame_bytes() const {
  return profile_.out_channels * (profile_.out_bits / 8);
}

void Instrument::service_rx(Clock::time_point now, Endpoint &ep, std::vector<Done> &done,
                            Clock::time_point &wake) {
  uint32_t frame = in_frame_bytes();
  if (!streaming_) {
    if (flush_) {
      for (const Pending &p : ep.pending) done.push_back({p.completion, p.context, 0, 0});
      ep.pending.clear();
    }
    return;
  }
  if (frame == 0) return;  // nothing to send: reads wait, as on a device without inputs
  uint64_t due = ~0ull;
  if (profile_.loopback) {
    uint32_t out_frame = out_frame_bytes();
    due = out_frame == 0 ? in_produced_ : in_produced_ + loopback_.size() / out_frame;
  } else if (profile_.pacing == Pacing::kRealtime) {
    if (in_rate_ == 0) return;
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - in_base_time_);
    due = in_base_frames_ + scale(device_ns(elapsed.count()), in_rate_, 1000000000u);
    // Frames nobody read in time overflow the instrument's FIFO and are lost. Reads already
    // posted count as room: the host controller fills them as frames arrive, whenever this
    // model gets round to it.
    uint64_t capacity = std::max<uint64_t>(1, profile_.device_fifo / frame);
    for (const Pending &p : ep.pending) capacity += p.length / frame;
    if (due > in_produced_ + capacity) {
      uint64_t lost = due - in_produced_ - capacity;
      in_produced_ += lost;
      counters_.rx_dropped_frames += lost;
    }
  }
  while (!ep.pending.empty()) {
    const Pending &p = ep.pending.front();
    uint64_t fit = p.length / frame;
    if (fit == 0) {
      // A frame does not fit the transfer: the host sees a babble error.
      done.push_back({p.completion, p.context, kStatusTransferError, 0});
      ep.pending.pop_front();
      continue;
    }
    if (!profile_.loopback && in_produced_ >= next_drop_frame_) {
      // The injected drop: these frames are gone, as if the FIFO had overflowed, and the next
      // packet waits for frames that come after them.
      in_produced_ += profile_.drop_frames;
      counters_.rx_dropped_frames += profile_.drop_frames;
      const uint64_t every = uint64_t{profile_.drop_every_ms} * in_rate_ / 1000;
      next_drop_frame_ = profile_.drop_every_ms == 0 || every == 0
                             ? ~0ull
                             : std::max(next_drop_frame_ + every, in_produced_ + 1);
    }
    uint64_t frames = fit;
    if (profile_.loopback) {
      frames = std::min<uint64_t>(fit, due - in_produced_);
      if (frames == 0) return;  // waits for output frames
    } else if (in_produced_ + fit > due) {
      uint64_t target = in_produced_ + fit - in_base_frames_;
      auto ns = host_ns(scale(target, 1000000000u, in_rate_, true));
      wake = std::min(wake, in_base_time_ + std::chrono::nanoseconds(ns));
      return;
    }
    fill_frames(p.buffer, static_cast<uint32_t>(frames));
    done.push_back(
        {p.completion, p.context, kStatusSuccess, static_cast<uint32_t>(frames * frame)});
    ++counters_.rx_packets;
    ep.pending.pop_front();
  }
}

void Instrument::service_tx(Clock::time_point now, Endpoint &ep, std::vector<Done> &done,
                            Clock::time_point &wake) {
  uint32_t frame = out_frame_bytes();
  auto accept = [&](const Pending &p) REQUIRES(mutex_) {
    output_.push(p.buffer, p.length);
    if (profile_.loopback && frame != 0) {
      push_bounded(loopback_, p.buffer, p.length - p.length % frame, kDeviceBufferBytes, frame);
    }
    out_received_ += p.length;
    counters_.tx_bytes += p.length;
    ++counters_.tx_packets;
    done.push_back({p.completion, p.context, kStatusSuccess, p.length});
  };
  if (!streaming_) {
    if (flush_) {
      for (const Pending &p : ep.pending) accept(p);
      ep.pending.clear();
    }
    return;
  }
  if (profile_.pacing == Pacing::kFree || frame == 0) {
    for (const Pending &p : ep.pending) accept(p);
    ep.pending.clear();
    return;
  }
  // The instrument plays frames at the output rate from a FIFO of kOutputBufferBytes; a write
  // completes once it fits.
  auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - out_base_time_);
  uint64_t played = out_base_bytes_ +
                    scale(static_cast<uint64_t>(elapsed.count()), out_rate_, 1000000000u) * frame;
  if (played > out_received_) {
    counters_.tx_underrun_frames += (played - out_received_) / frame;
    out_base_time_ = now;
    out_base_bytes_ = played = out_received_;
  }
  while (!ep.pending.empty()) {
    const Pending &p = ep.pending.front();
    uint64_t level = out_received_ - played;
    if (level != 0 && level + p.length > kOutputBufferBytes) {
      if (out_rate_ == 0) return;
      uint64_t target_frames =
          (out_received_ + p.length - kOutputBufferBytes - out_base_bytes_ + frame - 1) / frame;
      auto ns = static_cast<int64_t>(scale(target_frames, 1000000000u, out_rate_, true));
      wake = std::min(wake, out_base_time_ + std::chrono::nanoseconds(ns));
      return;
    }
    accept(p);
    ep.pending.pop_front();
  }
}

}  // namespace vexdaq::sim
