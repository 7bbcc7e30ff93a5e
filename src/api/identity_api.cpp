#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_get_version(char *, int32_t) {
  return -1;
}

int32_t vexdaq_get_information(char *, int32_t) {
  return -1;
}

int32_t vexdaq_get_driver_version(char *, int32_t) {
  return -1;
}

int32_t vexdaq_get_device_name(char *) {
  return -1;
}

int32_t vexdaq_get_device_version(char *, int32_t) {
  return -1;
}

}  // extern "C"
