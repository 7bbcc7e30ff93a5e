#include "stream/transfer_threads.h"

#include "platform/thread.h"
#include "session/device_session.h"

namespace vexdaq {

// Not built yet: the threads idle until the core exits.
uint32_t txthread(void *) {
  while (g_session.core_exit.load() == 0) platform::sleep_ms(1);
  return 0;
}

uint32_t rxthread(void *) {
  while (g_session.core_exit.load() == 0) platform::sleep_ms(1);
  return 0;
}

}  // namespace vexdaq
