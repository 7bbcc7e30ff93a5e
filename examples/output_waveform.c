/* Plays a 1 kHz sine on output channel 0 for half a second. */
#include <math.h>

#include "common.h"

enum { kRate = 48000, kBlock = 480 };

int main(int argc, char **argv) {
  if (open_instrument(argc, argv, NULL) != 0) return 1;
  int32_t out_rate = 0, in_rate = 0;
  vexdaq_get_sample_rate(&out_rate, &in_rate);
  vexdaq_create_buffers(8 * kBlock, 0);
  vexdaq_set_output_channel(0x1);
  vexdaq_set_sample_rate(kRate, in_rate);
  vexdaq_start();
  /* 24-bit samples: three bytes each, least significant first. */
  unsigned char block[kBlock * 3];
  int status = 0;
  for (long n = 0; n < kRate / 2 && status == 0; n += kBlock) {
    for (int i = 0; i < kBlock; ++i) {
      long v =
          lround(0.5 * 8388607.0 * sin(2.0 * 3.141592653589793 * 1000.0 * (double)(n + i) / kRate));
      block[3 * i] = (unsigned char)(v & 0xFF);
      block[3 * i + 1] = (unsigned char)((v >> 8) & 0xFF);
      block[3 * i + 2] = (unsigned char)((v >> 16) & 0xFF);
    }
    if (vexdaq_send_data(0, block, (int32_t)sizeof block, 1) != (int32_t)sizeof block) status = 1;
  }
  vexdaq_stop();
  vexdaq_dispose_buffers();
  vexdaq_device_close();
  printf(status == 0 ? "played 0.5 s of 1 kHz on output 0\n" : "the stream failed; see log/\n");
  return status;
}
