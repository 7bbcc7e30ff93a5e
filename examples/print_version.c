/* Prints the library's version and build, and how many instruments are connected. */
#include <stdio.h>

#include "vexdaq/vexdaq.h"

int main(void) {
  char version[32];
  char build[64];
  if (vexdaq_get_version(version, (int32_t)sizeof version) < 0 ||
      vexdaq_get_information(build, (int32_t)sizeof build) < 0) {
    fprintf(stderr, "vexdaq: cannot read the library version\n");
    return 1;
  }
  printf("vexdaq %s (built %s)\n", version, build);
  printf("instruments connected: %d\n", (int)vexdaq_device_list());
  return 0;
}
