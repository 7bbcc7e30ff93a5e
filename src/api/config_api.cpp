#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_set_trigger_mode(int32_t, uint8_t, uint8_t, int32_t, int32_t, uint8_t) {
  return -1;
}

int32_t vexdaq_set_sample_mode(int32_t, uint8_t, int32_t, uint8_t) {
  return -1;
}

int32_t vexdaq_can_sample_rate(int32_t, uint8_t) {
  return -1;
}

int32_t vexdaq_set_sample_rate(int32_t, int32_t) {
  return -1;
}

int32_t vexdaq_get_sample_rate(int32_t *, int32_t *) {
  return -1;
}

int32_t vexdaq_get_sample_width(int32_t *) {
  return -1;
}

int32_t vexdaq_get_channel_count(int32_t *, int32_t *) {
  return -1;
}

int32_t vexdaq_set_input_gear(uint64_t, uint8_t, uint8_t) {
  return -1;
}

int32_t vexdaq_set_input_icp(uint64_t, uint8_t) {
  return -1;
}

}  // extern "C"
