#include "core/stream_control.h"

#include <algorithm>
#include <atomic>

#include "device/control_request.h"
#include "device/device_state.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "protocol/requests.h"
#include "session/fifo.h"
#include "session/log.h"
#include "session/session_state.h"
#include "stream/channel_tables.h"
#include "stream/stream_signal.h"
#include "stream/stream_state.h"
#include "stream/stream_timing.h"
#include "stream/stream_waiters.h"
#include "stream/transfer_threads.h"

namespace vexdaq {

namespace {

// A transfer that has not completed within 1500 ms will not: the slowest packet the device
// sends is due well inside that.
constexpr uint32_t kSlotWaitMs = 1500;
// Lets the transfer threads see streaming clear before the device is told to stop.
constexpr uint32_t kWindDownPauseMs = 10;

// Input and output rates last sent to the device (0: none yet, the device uses its list's first).
std::atomic<int32_t> g_in_rate{0};
std::atomic<int32_t> g_out_rate{0};

// The rate the device streams at: the one last set, else the first of the device's list.
int64_t current_rate(bool input) {
  const int32_t set = input ? g_in_rate.load() : g_out_rate.load();
  if (set > 0) return set;
  const int32_t listed = input ? g_device.in_rate_count : g_device.out_rate_count;
  const int32_t first = input ? g_device.in_sample_rates[0] : g_device.out_sample_rates[0];
  return listed > 0 && first > 0 ? first : 0;
}

// The application's setting, else enough transfers to cover kTransferCoverUs of the input stream
// or kOutputTransferCoverUs of the output.
int32_t depth_for(bool input) {
  const int32_t setting = transfer_depth_setting(input);
  if (setting != 0) return setting;
  const int64_t count =
      input ? g_device.in_channel_count.load() : g_device.out_channel_count.load();
  const int64_t bits = input ? g_device.in_sample_bits.load() : g_device.out_sample_bits.load();
  const int32_t packet = input ? g_device.in_packet_size.load() : g_device.out_packet_size.load();
  return default_transfer_depth(current_rate(input) * count * (bits / 8), packet,
                                input ? kTransferCoverUs : kOutputTransferCoverUs);
}

void activate(bool input) {
  const platform::MutexLock hold(direction_lock(input));
  direction_active(input).store(1);
}

void deactivate_and_empty(bool input) {
  const platform::MutexLock hold(direction_lock(input));
  direction_active(input).store(0);
  ChannelSlot *const channels = channel_table(input);
  const int32_t count = channel_limit(input);
  for (int32_t i = 0; i < count; ++i) {
    if (channels[i].fifo != nullptr) fifo_reset(channels[i].fifo);
  }
}

void send_stream_request(uint8_t request) {
  if (!class_out(request, 0, 0, nullptr, 0)) {
    log_print(LogLevel::kEntry, "PIPE0_CLASS_OUT failed, status = 0x%08X.\n",
              platform::last_error());
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
  const int32_t pipes = std::clamp(g_device.pipe_count, 0, kPipeHandleCount);
  for (int32_t i = 1; i <= pipes; ++i) {
    const DeviceHandle pipe = g_device.pipe_handles[i - 1];
    if (!pipe_request(pipe, IOCTL_USBIO_ABORT_PIPE)) {
      log_print(LogLevel::kEntry, "IOCTL_USBIO_ABORT_PIPE [%d] failed, status = 0x%08X.\n", i,
                platform::last_error());
      return false;
    }
    if (!pipe_request(pipe, IOCTL_USBIO_RESET_PIPE)) {
      log_print(LogLevel::kEntry, "IOCTL_USBIO_RESET_PIPE [%d] failed, status = 0x%08X.\n", i,
                platform::last_error());
      return false;
    }
  }
  return true;
}

}  // namespace

void remember_sample_rates(int32_t in_rate, int32_t out_rate) {
  g_in_rate.store(in_rate);
  g_out_rate.store(out_rate);
}

int32_t usbio_packet_size(int32_t channel_count, int32_t sample_bits) {
  const int32_t bytes = sample_bits / 8;
  if (channel_count <= 0 || bytes <= 0) return 0;
  return channel_count * bytes * ((512 / channel_count) / bytes);
}

void usbio_stream_start() {
  log_print(LogLevel::kEntry, "Message START received\r\n");
  if (g_stream.streaming.load() != 0) return;
  // A close has begun (the restart of a rate change met it): the close's stop is queued behind
  // this message, and a stream started now would only be stopped again.
  if (g_session.session_token.load() == 0) {
    log_print(LogLevel::kEntry, "usbio_stream_start refused: the session is closing\r\n");
    return;
  }

  activate(false);
  activate(true);
  notify_stream_waiters();
  log_print(LogLevel::kEntry, "usbio_device_pre_data_xfer - begins\r\n");

  // The transfer threads arm their own slots when the period begins.
  set_transfer_depths(depth_for(false), depth_for(true));
  begin_stream_timing(current_rate(false), current_rate(true));

  uint32_t frame_number = 0;
  uint32_t returned = 0;
  if (driver_ioctl(g_device.control_handle, IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER, nullptr, 0,
                   &frame_number, sizeof frame_number, &returned) &&
      returned == sizeof frame_number) {
    log_print(LogLevel::kEntry, "Start Frame Number : %ld\r\n", static_cast<int32_t>(frame_number));
    note_start_bus_frame(frame_number);
  } else {
    const uint32_t status = platform::last_error();
    g_device.last_status.store(status);
    log_print(LogLevel::kEntry, "IOCTL_USBIO_GET_CURRENT_FRAME_NUMBER failed, status = 0x%08X.\n",
              status);
  }

  set_device_told_to_stop(false);
  acknowledge_stream_failures();  // a new streaming period: an earlier failure is history
  // The reads are posted before the device starts, so its first frames have somewhere to go:
  // the device does not say which frames its FIFO dropped, and those of the start would be gone.
  // (Writes posted now are the first the device plays.)
  set_streaming(true);
  wait_transfer_threads_primed(kSlotWaitMs);
  note_stream_start();
  send_stream_request(REQ_STREAM_START);
}

void usbio_stream_stop() {
  log_print(LogLevel::kEntry, "Message STOP received\r\n");
  if (g_stream.streaming.load() != 0) {
    set_streaming(false);
    platform::sleep_ms(kWindDownPauseMs);
    // Set before the request goes: a transfer thread that sees it errs on the safe side.
    set_device_told_to_stop(true);
    send_stream_request(REQ_STREAM_STOP);
    log_print(LogLevel::kEntry, "usbio_device_post_data_xfer - begins\r\n");

    // The device's stop completes the transfers in flight; each thread collects its own and
    // reports idle (at most 1500 ms, then it cancels what is left).
    if (g_device.last_status.load() == kStatusDeviceNotPresent) {
      log_print(LogLevel::kEntry, "usbio_device_post_data_xfer - device is not presetn\r\n");
    } else {
      wait_transfer_threads_idle(kSlotWaitMs);
    }

    deactivate_and_empty(false);
    deactivate_and_empty(true);
    notify_stream_waiters();
  }

  count_stream_stop();  // releases blocked all-channel calls
  const bool reset = reset_data_pipes();
  // The abort completed whatever was still in flight: the next period must not begin before the
  // threads have collected it.
  wait_transfer_threads_idle(kSlotWaitMs);
  if (reset) set_core_failed(false);
}

}  // namespace vexdaq
