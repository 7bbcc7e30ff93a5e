/* Shared by the examples: "--sim" as the first argument plugs in the virtual instrument, so every
 * example runs without hardware. */
#ifndef VEXDAQ_EXAMPLES_COMMON_H
#define VEXDAQ_EXAMPLES_COMMON_H

#include <stdio.h>
#include <string.h>

#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

/* Opens the first instrument; returns 0 on success. With "--sim", plugs `profile` first. */
static int open_instrument(int argc, char **argv, const char *profile) {
  if (argc > 1 && strcmp(argv[1], "--sim") == 0 && vexdaq_sim_plug(profile) < 0) {
    fprintf(stderr, "cannot plug the virtual instrument\n");
    return -1;
  }
  if (vexdaq_device_list() < 1) {
    fprintf(stderr, "no instrument found (try --sim)\n");
    return -1;
  }
  if (vexdaq_device_open(0) != 0) {
    fprintf(stderr, "the instrument cannot be opened\n");
    return -1;
  }
  /* The open also succeeds when the device did not come up; a query tells. */
  int32_t out_count = 0, in_count = 0;
  if (vexdaq_get_channel_count(&out_count, &in_count) != 0) {
    fprintf(stderr, "the instrument did not come up; see log/\n");
    vexdaq_device_close();
    return -1;
  }
  return 0;
}

#endif
