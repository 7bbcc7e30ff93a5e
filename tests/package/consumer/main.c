#include <stdio.h>
#include <string.h>

#include "vexdaq/vexdaq.h"

int main(void) {
  char version[32];
  if (vexdaq_get_version(version, (int32_t)sizeof version) != 11) return 1;
  puts(version);
  return strcmp(version, "5.0.17d11d6") == 0 ? 0 : 1;
}
