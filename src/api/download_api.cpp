#include "vexdaq/vexdaq.h"

// Not built yet: every export here reports failure.
extern "C" {

int32_t vexdaq_firmware_download(const char *) {
  return -1;
}

int32_t vexdaq_serial_download(const char *, int32_t) {
  return -1;
}

}  // extern "C"
