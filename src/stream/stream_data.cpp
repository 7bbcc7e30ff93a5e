#include "stream/stream_data.h"

#include <algorithm>
#include <climits>
#include <optional>

#include "platform/sync.h"
#include "session/fifo.h"
#include "session/log.h"
#include "session/session_state.h"
#include "stream/channel_tables.h"
#include "stream/stream_state.h"
#include "stream/stream_waiters.h"
#include "stream/transfer_threads.h"

namespace vexdaq {

namespace {

// A blocking call's need, listed for the transfer threads from its first look (made under the
// direction's lock) until the call returns.
class Need {
 public:
  Need(bool blocking, bool input, platform::Mutex &lock, int32_t channel, int32_t count)
      : input_(input), lock_(lock) {
    if (blocking) waiter_.emplace();
    need_.channel = channel;
    need_.count = count;
  }
  ~Need() {
    if (!listed_) return;
    platform::MutexLock hold(lock_);
    remove_wait_need(input_, &need_);
  }
  Need(const Need &) = delete;
  Need &operator=(const Need &) = delete;

  bool blocking() const { return waiter_.has_value(); }
  void arm() {
    if (waiter_) waiter_->arm();
  }
  // Caller holds the direction's lock.
  void list() {
    if (waiter_ && !listed_) {
      add_wait_need(input_, &need_);
      listed_ = true;
    }
  }
  void wait() { waiter_->wait(); }

 private:
  bool input_;
  platform::Mutex &lock_;
  std::optional<StreamWait> waiter_;
  WaitNeed need_;
  bool listed_ = false;
};

// A close clears the token before it wakes the waiters, and waits for this call to return before
// it frees the lock and FIFOs the call uses.
bool closed_under_call() {
  return g_session.session_token.load() == 0;
}

int32_t capacity_of(const fifo_record *fifo) {
  return fifo == nullptr ? 0 : fifo->capacity;
}

// core_failed as the data calls read it: under message_lock; nullopt once the session is not
// usable. A failure that ended the stream counts until it is acknowledged (transfer_threads.h).
std::optional<uint8_t> read_core_failed() {
  if (!session_usable()) return std::nullopt;
  const platform::MutexLock hold(g_session.message_lock);
  const uint8_t failed = g_stream.core_failed.load();
  if (failed == 0 && stream_failure_unacknowledged()) return 1;
  return failed;
}

int32_t move_samples(fifo_record *fifo, bool input, void *buffer, int32_t count) {
  return input ? fifo_read(fifo, buffer, count)
               : fifo_write(fifo, static_cast<const uint8_t *>(buffer), count);
}

// The checks every call makes before it looks at a FIFO. Returns a result to give back at once,
// or nullopt with the sample count to move.
std::optional<int32_t> early_result(bool input, const void *buffer, int32_t bytes, int32_t &count) {
  if (g_session.session_token.load() == 0) return -1;
  if (bytes < 0) return -1;  // never reaches a FIFO
  if (channel_limit(input) == 0) return bytes;
  const int32_t size = sample_bytes(input);
  if (size <= 0) return 0;  // no sample can be moved at a width under 8 bits
  count = bytes / size;
  if (buffer == nullptr && count > 0) return -1;
  return std::nullopt;
}

int32_t single_channel(bool input, int32_t channel, void *buffer, int32_t bytes, int32_t blocking) {
  int32_t count = 0;
  if (auto result = early_result(input, buffer, bytes, count)) return *result;
  if (channel < 0 || channel >= kMaxChannels) return 0;
  const int32_t size = sample_bytes(input);
  platform::Mutex &lock = direction_lock(input);
  Need waiter(blocking == 1, input, lock, channel, count);
  for (;;) {
    waiter.arm();
    if (closed_under_call()) return -1;
    int32_t movable = -1;
    int32_t capacity = 0;
    uint8_t ready = 0;
    {
      platform::MutexLock hold(lock);
      waiter.list();
      const ChannelSlot &slot = channel_table(input)[channel];
      movable = movable_samples(slot.fifo, input, size);
      capacity = capacity_of(slot.fifo);
      ready = slot.enabled == 1 ? direction_active(input).load() : 0;
    }
    const std::optional<uint8_t> failed = read_core_failed();
    if (!failed) return -1;
    if (*failed != 0) {
      log_print(
          LogLevel::kEntry,
          input ? "usbio_core_recv_data failed %d %d\r\n" : "usbio_core_send_data failed %d %d\r\n",
          *failed, ready);
      return -1;
    }
    if (ready != 1) return 0;
    if (movable >= count) {
      int32_t moved = 0;
      bool still_ready = false;
      {
        platform::MutexLock hold(lock);
        // The stream may have stopped since the look: a stop empties the FIFOs, and samples
        // written after it would be played first at the next start.
        const ChannelSlot &slot = channel_table(input)[channel];
        still_ready = slot.enabled == 1 && direction_active(input).load() == 1;
        if (still_ready && movable_samples(slot.fifo, input, size) >= 0) {
          moved = move_samples(slot.fifo, input, buffer, count);
        }
      }
      if (!still_ready) continue;  // the next look gives the stopped stream's result
      if (moved > 0) return moved * size;
      if (!waiter.blocking() || count == 0) return 0;
      continue;  // another thread got there first: look again
    }
    if (!waiter.blocking()) return 0;
    if (movable < 0 || count > capacity) return 0;  // would wait for ever
    waiter.wait();
  }
}

// What the enabled channels of a direction can move now, looked at under its lock.
struct EnabledChannelsSurvey {
  int32_t enabled = 0;
  int32_t fewest_movable = INT32_MAX;  // the least any enabled channel can take or give
  bool never_enough = false;           // some enabled channel can never take or give the request
};

EnabledChannelsSurvey survey_enabled_channels(bool input, int32_t count, int32_t size) {
  EnabledChannelsSurvey survey;
  const ChannelSlot *channels = channel_table(input);
  const int32_t limit = channel_limit(input);
  for (int32_t c = 0; c < limit; ++c) {
    if (channels[c].enabled != 1) continue;
    ++survey.enabled;
    const int32_t movable = movable_samples(channels[c].fifo, input, size);
    survey.fewest_movable = std::min(survey.fewest_movable, movable);
    if (movable < 0 || count > capacity_of(channels[c].fifo)) survey.never_enough = true;
  }
  return survey;
}

// by_channel: the buffer holds one block of `bytes` per channel of the direction, block c for
// channel c; otherwise (output only) one block goes to every enabled channel.
int32_t all_channels(bool input, bool by_channel, void *buffer, int32_t bytes, int32_t blocking) {
  // Read before the call can be seen waiting: a stop that anyone saw come after the call began
  // releases it.
  const uint64_t stops = stream_stop_count();
  int32_t count = 0;
  if (auto result = early_result(input, buffer, bytes, count)) return *result;
  const int32_t size = sample_bytes(input);
  platform::Mutex &lock = direction_lock(input);
  Need waiter(blocking == 1, input, lock, kAllEnabledChannels, count);
  for (;;) {
    waiter.arm();
    if (closed_under_call()) return -1;
    EnabledChannelsSurvey survey;
    {
      platform::MutexLock hold(lock);
      waiter.list();
      survey = survey_enabled_channels(input, count, size);
    }
    const std::optional<uint8_t> failed = read_core_failed();
    if (!failed) return -1;
    if (*failed != 0) {
      log_print(LogLevel::kEntry,
                input ? "usbio_core_recv_all_data failed %d\r\n"
                      : "usbio_core_send_all_data failed %d\r\n",
                *failed);
      return -1;
    }
    if (survey.enabled == 0) return 0;
    if (stream_stop_count() != stops) return 0;  // stopped while this call waited
    if (survey.fewest_movable >= count) {
      int32_t moved = -1;
      {
        platform::MutexLock hold(lock);
        // Look again under this acquisition: every channel takes the block, or none does.
        const EnabledChannelsSurvey now = survey_enabled_channels(input, count, size);
        if (now.enabled > 0 && now.fewest_movable >= count) {
          ChannelSlot *channels = channel_table(input);
          const int32_t limit = channel_limit(input);
          for (int32_t c = 0; c < limit; ++c) {
            if (channels[c].enabled != 1) continue;
            uint8_t *at = static_cast<uint8_t *>(buffer);
            if (by_channel && at != nullptr) {
              at += static_cast<size_t>(c) * static_cast<size_t>(bytes);
            }
            moved = move_samples(channels[c].fifo, input, at, count);
          }
        }
      }
      if (moved >= 0) return moved * size;
      if (!waiter.blocking()) return 0;
      continue;
    }
    if (!waiter.blocking() || survey.never_enough) return 0;
    waiter.wait();
  }
}

}  // namespace

int32_t stream_send_data(int32_t channel, const uint8_t *source, int32_t bytes, int32_t blocking) {
  return single_channel(false, channel, const_cast<uint8_t *>(source), bytes, blocking);
}

int32_t stream_recv_data(int32_t channel, uint8_t *destination, int32_t bytes, int32_t blocking) {
  return single_channel(true, channel, destination, bytes, blocking);
}

int32_t stream_send_all_data(const uint8_t *source, int32_t bytes, int32_t blocking) {
  return all_channels(false, false, const_cast<uint8_t *>(source), bytes, blocking);
}

int32_t stream_recv_all_data(uint8_t *destination, int32_t bytes, int32_t blocking) {
  return all_channels(true, true, destination, bytes, blocking);
}

int32_t stream_send_channel_blocks(const uint8_t *source, int32_t bytes, int32_t blocking) {
  return all_channels(false, true, const_cast<uint8_t *>(source), bytes, blocking);
}

}  // namespace vexdaq
