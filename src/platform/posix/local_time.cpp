#include "platform/local_time.h"

namespace vexdaq::platform {

std::tm local_time(std::time_t when) {
  std::tm parts{};
  if (localtime_r(&when, &parts) == nullptr) parts = std::tm{};
  return parts;
}

}  // namespace vexdaq::platform
