/* Records one second of input channels 0 and 1 into stream.raw: each block holds the samples of
 * channel 0, then those of channel 1. */
#include <stdlib.h>

#include "common.h"

enum { kRate = 48000, kBlock = 4800 };

int main(int argc, char **argv) {
  if (open_instrument(argc, argv, "waveform=counter") != 0) return 1;
  int32_t width = 0;
  vexdaq_get_sample_width(&width); /* bytes per input sample */
  int32_t out_rate = 0, in_rate = 0;
  vexdaq_get_sample_rate(&out_rate, &in_rate);
  if (vexdaq_can_sample_rate(kRate, 1) != 0) {
    fprintf(stderr, "the instrument cannot sample at %d Hz\n", kRate);
    vexdaq_device_close();
    return 1;
  }
  vexdaq_create_buffers(0, 4 * kBlock); /* FIFOs first: creating them disables the channels */
  vexdaq_set_input_channel(0x3);        /* channels 0 and 1 */
  vexdaq_set_sample_rate(out_rate, kRate);

  FILE *file = fopen("stream.raw", "wb");
  unsigned char *block = malloc((size_t)kBlock * (size_t)width);
  int status = file && block ? 0 : 1;
  long samples = 0;
  vexdaq_start();
  for (int n = 0; status == 0 && n < kRate / kBlock; ++n) {
    for (int32_t channel = 0; channel < 2; ++channel) {
      /* Blocking: returns once kBlock samples have arrived (or the stream failed). */
      int32_t got = vexdaq_recv_data(channel, block, kBlock * width, 1);
      if (got != kBlock * width || fwrite(block, 1, (size_t)got, file) != (size_t)got) {
        status = 1;
        break;
      }
    }
    samples += kBlock;
  }
  vexdaq_stop();
  vexdaq_dispose_buffers();
  vexdaq_device_close();
  if (file) fclose(file);
  free(block);
  printf("%ld samples per channel written to stream.raw\n", samples);
  return status;
}
