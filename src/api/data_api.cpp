#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_send_data(int32_t, const uint8_t *, int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_recv_data(int32_t, uint8_t *, int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_send_all_data(int32_t, const uint8_t *, int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_recv_all_data(int32_t, uint8_t *, int32_t, int32_t) {
  return -1;
}

}  // extern "C"
