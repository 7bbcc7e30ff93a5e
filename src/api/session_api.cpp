// Opening, closing, starting and stopping the one device session: the C boundary of the
// session's life (core/session_life.h).
#include <cstdint>

#include "api/api_guard.h"
#include "core/session_life.h"
#include "device/discovery.h"
#include "platform/sync.h"
#include "session/log.h"
#include "session/message_queue.h"
#include "session/session_state.h"
#include "stream/transfer_threads.h"
#include "vexdaq/vexdaq.h"

using vexdaq::api_guard;
using vexdaq::g_session;

extern "C" {

int32_t vexdaq_device_list(void) {
  return api_guard("vexdaq_device_list", [] { return vexdaq::usbio_device_enumerate(); });
}

int32_t vexdaq_device_open(int32_t index) {
  // Taken before the open counts as a call inside the library: a close holding it waits for
  // every such call to leave.
  const vexdaq::platform::MutexLock hold(vexdaq::life_lock());
  return api_guard("vexdaq_device_open", [index] { return vexdaq::session_open(index); });
}

void vexdaq_device_close(void) {
  try {
    vexdaq::session_close();
  } catch (...) {
    // Nothing left to report to: the log is part of what the close tears down.
  }
}

int32_t vexdaq_start(void) {
  return api_guard("vexdaq_start", [] {
    vexdaq::log_print(vexdaq::LogLevel::kEntry, "vexdaq_start\r\n");
    if (g_session.session_token.load() == 0) return -1;
    // -1 unless the core carried the start out (it sets run_requested): a start that never
    // reached the device, or one a beginning close refused, is none.
    return vexdaq::post_message(vexdaq::MSG_START, 0, 0, 0, nullptr) == 0 ? 0 : -1;
  });
}

int32_t vexdaq_stop(void) {
  return api_guard("vexdaq_stop", [] {
    vexdaq::log_print(vexdaq::LogLevel::kEntry, "vexdaq_stop\r\n");
    if (g_session.session_token.load() == 0) return -1;
    const int32_t posted =
        vexdaq::post_message(vexdaq::MSG_STOP, vexdaq::kStopEndsRequest, 0, 0, nullptr);
    vexdaq::acknowledge_stream_failures();  // the application has ended the stream itself
    return posted == 0 ? 0 : -1;
  });
}

}  // extern "C"
