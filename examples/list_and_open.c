/* Lists the instruments, opens the first and prints what it is. */
#include "common.h"

int main(int argc, char **argv) {
  if (open_instrument(argc, argv, NULL) != 0) return 1;
  char name[32], version[32], driver[32], library[32];
  int32_t out_count = 0, in_count = 0, width = 0;
  vexdaq_get_device_name(name);
  vexdaq_get_device_version(version, (int32_t)sizeof version);
  vexdaq_get_driver_version(driver, (int32_t)sizeof driver);
  vexdaq_get_version(library, (int32_t)sizeof library);
  vexdaq_get_channel_count(&out_count, &in_count);
  vexdaq_get_sample_width(&width);
  printf("%s, device %s, driver %s, library %s\n", name, version, driver, library);
  printf("%d input and %d output channels, %d-byte input samples\n", (int)in_count, (int)out_count,
         (int)width);
  printf("51200 Hz input: %s\n", vexdaq_can_sample_rate(51200, 1) == 0 ? "yes" : "no");
  vexdaq_device_close();
  return 0;
}
