#include "core/stream_control.h"

#include <algorithm>
#include <atomic>

#include "core/requests.h"
#include "device/control_request.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/device_session.h"
#include "session/fifo.h"
#include "session/log.h"
#include "stream/stream_waiters.h"
#include "stream/transfer_threads.h"

namespace vexdaq {

namespace {

// A transfer that has not completed within 1500 ms will not: the slowest packet the device
// sends is due well inside that.
constexpr uint32_t kSlotWaitMs = 1500;
// Lets the transfer threads see streaming clear before the device is told to stop.
constexpr uint32_t kWindDownPauseMs = 10;

std::atomic<bool> g_device_told_to_stop{false};

void arm_slot(XferSlot &slot) {
  if (platform::Event *event = slot.overlapped.event.get()) {
    event->reset();
    event->set();  // ready: the transfer thread may start a transfer on it at once
  }
  slot.overlapped.internal.store(0);
  slot.overlapped.internal_high.store(0);
}

// Milliseconds left until the deadline on the performance counter (0 once it has passed).
uint32_t remaining_ms(int64_t deadline) {
  const int64_t left = deadline - platform::performance_counter();
  if (left <= 0) return 0;
  return static_cast<uint32_t>(
      std::min<int64_t>(kSlotWaitMs, left * 1000 / platform::performance_frequency() + 1));
}

// Every transfer in flight was started before the stop, so all that will complete do so within
// one 1500 ms period: the slots share it. Waiting for each in turn would keep a stop after a
// start the device refused, whose transfers never complete, for eight periods. A time-out is not
// an error here: the pipe abort that follows completes whatever is left.
void wait_slots() {
  const int64_t deadline =
      platform::performance_counter() + platform::performance_frequency() * kSlotWaitMs / 1000;
  for (int k = 0; k < kSlotCount; ++k) {
    for (XferSlot *slot : {&g_session.tx_slots[k], &g_session.rx_slots[k]}) {
      if (platform::Event *event = slot->overlapped.event.get())
        event->wait(remaining_ms(deadline));
    }
  }
}

void set_active(platform::Mutex *lock, std::atomic<uint8_t> &active, uint8_t value) {
  if (lock == nullptr) {
    active.store(value);
    return;
  }
  platform::MutexLock hold(*lock);
  active.store(value);
}

void deactivate_and_empty(platform::Mutex *lock, std::atomic<uint8_t> &active,
                          ChannelSlot (&channels)[kMaxChannels], int32_t channel_count) {
  const int32_t count = std::clamp(channel_count, 0, kMaxChannels);
  auto empty = [&] {
    active.store(0);
    for (int32_t i = 0; i < count; ++i) {
      if (channels[i].fifo != nullptr) fifo_reset(channels[i].fifo);
    }
  };
  if (lock == nullptr) {
    empty();
    return;
  }
  platform::MutexLock hold(*lock);
  empty();
}

void send_stream_request(uint8_t request) {
  if (!class_out(request, 0, 0, nullptr, 0)) {
    log_print(1, "PIPE0_CLASS_OUT failed, status = 0x%08X.\n", platform::last_error());
  }
}

// Abort or reset of one pipe. A device that is gone has no transfers left to abort.
bool pipe_request(DeviceHandle pipe, uint32_t code) {
  uint32_t returned = 0;
  if (driver_ioctl(pipe, code, nullptr, 0, nullptr, 0, &returned)) {
    return returned == 0;
  }
  return platform::last_error() == kStatusDeviceNotPresent;
}

// Returns true when every bound data pipe was aborted and reset.
bool reset_data_pipes() {
  const int32_t pipes = std::clamp(g_session.pipe_count, 0, kPipeHandleCount);
  for (int32_t i = 1; i <= pipes; ++i) {
    const DeviceHandle pipe = g_session.pipe_handles[i - 1];
    if (!pipe_request(pipe, IOCTL_USBIO_ABORT_PIPE)) {
      log_print(1, "IOCTL_USBIO_ABORT_PIPE [%d] failed, status = 0x%08X.\n", i,
                platform::last_error());
      return false;
    }
    if (!pipe_request(pipe, IOCTL_USBIO_RESET_PIPE)) {
      log_print(1, "IOCTL_USBIO_RESET_PIPE [%d] failed, status = 0x%08X.\n", i,
                platform::last_error());
      return false;
    }
  }
  return true;
}

}  // namespace

bool device_told_to_stop() {
  return g_device_told_to_stop.load();
}

int32_t usbio_packet_size(int32_t channel_count, int32_t sample_bits) {
  const int32_t bytes = sample_bits / 8;
  if (channel_count <= 0 || bytes <= 0) return 0;
  return channel_count * bytes * ((512 / channel_count) / bytes);
}

void usbio_stream_start() {
  log_print(1, "Message START received\r\n");
  if (g_session.streaming.load() != 0) return;

  set_active(g_session.out_lock.get(), g_session.out_active, 1);
  set_active(g_session.in_lock.get(), g_session.in_active, 1);
  notify_stream_waiters();
  log_print(1, "usbio_device_pre_data_xfer - begins\r\n");

  for (int k = 0; k < kSlotCount; ++k) {
    arm_slot(g_session.tx_slots[k]);
    arm_slot(g_session.rx_slots[k]);
  }

  uint32_t frame_number = 0;
  uint32_t returned = 0;
  if (driver_ioctl(g_session.control_handle, IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER, nullptr, 0,
                   &frame_number, sizeof frame_number, &returned) &&
      returned == sizeof frame_number) {
    log_print(1, "Start Frame Number : %ld\r\n", static_cast<int32_t>(frame_number));
  } else {
    const uint32_t status = platform::last_error();
    g_session.last_status.store(status);
    log_print(1, "IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER failed, status = 0x%08X.\n", status);
  }

  g_device_told_to_stop.store(false);
  send_stream_request(REQ_STREAM_START);
  acknowledge_stream_failures();  // a new streaming period: an earlier failure is history
  g_session.streaming.store(1);
  notify_stream_waiters();
}

void usbio_stream_stop() {
  log_print(1, "Message STOP received\r\n");
  if (g_session.streaming.load() != 0) {
    g_session.streaming.store(0);
    notify_stream_waiters();
    platform::sleep_ms(kWindDownPauseMs);
    // Set before the request goes: a transfer thread that sees it errs on the safe side.
    g_device_told_to_stop.store(true);
    send_stream_request(REQ_STREAM_STOP);
    log_print(1, "usbio_device_post_data_xfer - begins\r\n");

    if (g_session.last_status.load() == kStatusDeviceNotPresent) {
      log_print(1, "usbio_device_post_data_xfer - device is not presetn\r\n");
    } else {
      wait_slots();
    }

    deactivate_and_empty(g_session.out_lock.get(), g_session.out_active, g_session.out_channels,
                         g_session.out_channel_count.load());
    deactivate_and_empty(g_session.in_lock.get(), g_session.in_active, g_session.in_channels,
                         g_session.in_channel_count.load());
    notify_stream_waiters();
  }

  if (reset_data_pipes()) {
    if (platform::Mutex *lock = g_session.message_lock.get()) {
      platform::MutexLock hold(*lock);
      g_session.core_failed.store(0);
    } else {
      g_session.core_failed.store(0);
    }
    notify_stream_waiters();
  }
}

}  // namespace vexdaq
