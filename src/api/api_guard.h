// The one guard at the C boundary: no exception crosses extern "C". A surprise (out of memory in
// a container, a bug of ours) is logged and becomes the export's failure result. Every export
// that goes through it counts as inside the library until it returns, so a close on another thread
// waits for it before freeing what it may use (session/session_calls.h).
#pragma once

#include <cstdint>
#include <exception>

#include "session/log.h"
#include "session/session_calls.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq {

template <typename Body>
auto api_guard(const char *export_name, Body &&body, decltype(body()) failure = -1) noexcept
    -> decltype(body()) {
  const SessionCall inside;
  try {
    return body();
  } catch (const std::exception &e) {
    log_print(LogLevel::kEntry, "%s failed: %s\r\n", export_name, e.what());
  } catch (...) {
    log_print(LogLevel::kEntry, "%s failed: unexpected exception\r\n", export_name);
  }
  return failure;
}

}  // namespace vexdaq
