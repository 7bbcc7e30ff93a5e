#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_create_buffers(int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_dispose_buffers(void) {
  return -1;
}

int32_t vexdaq_set_output_channel(uint64_t) {
  return -1;
}

int32_t vexdaq_set_input_channel(uint64_t) {
  return -1;
}

}  // extern "C"
