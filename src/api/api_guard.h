// The one guard at the C boundary: no exception crosses extern "C". A surprise (out of memory in
// a container, a bug of ours) is logged and becomes the export's failure result.
#pragma once

#include <cstdint>
#include <exception>

#include "session/log.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq {

template <typename Body>
auto api_guard(const char *export_name, Body &&body, decltype(body()) failure = -1) noexcept
    -> decltype(body()) {
  try {
    return body();
  } catch (const std::exception &e) {
    log_print(1, "%s failed: %s\r\n", export_name, e.what());
  } catch (...) {
    log_print(1, "%s failed: unexpected exception\r\n", export_name);
  }
  return failure;
}

}  // namespace vexdaq
