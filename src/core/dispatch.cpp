#include "core/dispatch.h"

#include <array>

#include "core/core_state.h"
#include "core/stream_control.h"
#include "device/control_request.h"
#include "platform/thread.h"
#include "protocol/request_catalogue.h"
#include "protocol/requests.h"
#include "session/log.h"
#include "stream/stream_state.h"

namespace vexdaq {
namespace {

// Sends one catalogued request and logs a failure; the caller's result never depends on it.
void send_request(const RequestEntry &entry, uint16_t value, uint16_t index, void *data,
                  uint16_t length) {
  const uint32_t recipient = kRecipientInterface;
  if (entry.device_to_host) {
    const bool ok = entry.type == kRequestTypeClass
                        ? class_in(entry.request, value, index, data, length)
                        : vendor_in(recipient, entry.request, value, index, data, length);
    if (!ok) {
      log_print(LogLevel::kEntry, "PIPE0_CLASS_IN Request (0x%.2X) failed, status = 0x%08X.\n",
                entry.request, platform::last_error());
    }
    return;
  }
  const bool ok = entry.type == kRequestTypeClass
                      ? class_out(entry.request, value, index, data, length)
                      : vendor_out(recipient, entry.request, value, index, data, length);
  if (!ok)
    log_print(LogLevel::kEntry, "PIPE0_CLASS_OUT failed, status = 0x%08X.\n",
              platform::last_error());
}

}  // namespace

void dispatch_command_message(const CoreMessage &message) {
  const RequestEntry *entry = find_request(message.msg_id);
  // Stream start and stop belong to the core thread; anything unknown is dropped silently.
  if (entry == nullptr || message.msg_id == MSG_START || message.msg_id == MSG_STOP) return;

  log_print(LogLevel::kEntry, entry->receipt_line);

  const uint16_t value = request_value(entry->value_rule, message.primary);
  const uint16_t index = request_index(entry->index_rule, message.primary);

  switch (entry->payload_rule) {
    case PayloadRule::kNone:
      send_request(*entry, value, index, nullptr, 0);
      return;

    case PayloadRule::kRateRecord: {
      // The device takes a new rate only while idle: a stream the application asked for is
      // stopped around the rate and started again. Decided here, in the order the messages are
      // carried out, so a rate that meets a start of another thread is never skipped.
      const bool restart = g_core.run_requested.load() != 0;
      if (restart || g_stream.streaming.load() != 0) usbio_stream_stop();
      auto record = rate_record(message.secondary, message.primary);
      send_request(*entry, value, index, record.data(), kRateRecordSize);
      remember_sample_rates(message.secondary, message.primary);  // the next start's depth
      log_print(LogLevel::kEntry, "<usbio_controller_set_samplerate> : 0x%.8X, 0x%.8X\r\n",
                message.primary, message.secondary);
      if (restart) usbio_stream_start();
      return;
    }

    case PayloadRule::kLineCoding: {
      auto record = line_coding(message.primary, message.secondary);
      send_request(*entry, value, index, record.data(), kLineCodingSize);
      return;
    }

    case PayloadRule::kSecondaryByte: {
      uint8_t byte = static_cast<uint8_t>(message.secondary);
      send_request(*entry, value, index, &byte, 1);
      return;
    }

    case PayloadRule::kPoster: {
      // The device sees the low 16 bits of the length. A negative length or a missing buffer is
      // a poster's bug; sending it would read or write memory the poster does not own.
      if (message.data_length < 0 || (message.payload == nullptr && message.data_length != 0)) {
        return;
      }
      const uint16_t length = static_cast<uint16_t>(message.data_length & 0xFFFF);
      send_request(*entry, value, index, message.payload, length);
      return;
    }
  }
}

}  // namespace vexdaq
