/* Compiled as C11 by the build: the public header must stay plain C. */
#include "vexdaq/vexdaq.h"

int32_t (*const vexdaq_header_probe)(int32_t) = vexdaq_device_open;
