/* Compiled as C11 by the build: the public header must stay plain C. */
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"
#include "vexdaq/vexdaq_ext.h"

int32_t (*const vexdaq_header_probe)(int32_t) = vexdaq_device_open;
int32_t (*const vexdaq_ext_header_probe)(uint8_t, int32_t, vexdaq_loss_counters *) =
    vexdaq_get_loss_counters;
