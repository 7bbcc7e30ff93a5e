#include "session/log.h"

namespace vexdaq {

// One translation unit holds both texts, so the log's first line and the information query
// always agree.
const char *build_date() {
  return __DATE__;
}
const char *build_time() {
  return __TIME__;
}

}  // namespace vexdaq
