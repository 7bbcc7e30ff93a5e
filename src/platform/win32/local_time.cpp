#include "platform/local_time.h"

namespace vexdaq::platform {

std::tm local_time(std::time_t when) {
  std::tm parts{};
  if (localtime_s(&parts, &when) != 0) parts = std::tm{};
  return parts;
}

}  // namespace vexdaq::platform
