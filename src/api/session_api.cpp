#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_device_list(void) {
  return -1;
}

int32_t vexdaq_device_open(int32_t) {
  return -1;
}

int32_t vexdaq_start(void) {
  return -1;
}

int32_t vexdaq_stop(void) {
  return -1;
}

}  // extern "C"

extern "C" void vexdaq_device_close(void) {}
