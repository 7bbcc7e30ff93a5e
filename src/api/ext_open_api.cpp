#include "backend/driver.h"
#include "vexdaq/vexdaq_ext.h"

extern "C" {

uint32_t vexdaq_get_last_open_status(void) {
  // An atomic load: nothing here can throw.
  return vexdaq::driver_last_open_failure();
}

}  // extern "C"
