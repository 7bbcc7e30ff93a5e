/* The C reference for bench/python/acquire_cpu.py: records every input channel of the virtual
 * instrument into one channel-major int32 array (24-bit samples sign-extended), the job the Python
 * package's Device.acquire does, and prints the CPU time of this (the application) thread.
 *   acquire_cpu RATE SECONDS    ->  "cpu_s=... wall_s=... frames=... lost=..."
 */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

static double seconds_of(clockid_t clock) {
  struct timespec t;
  clock_gettime(clock, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
  const int32_t rate = argc > 1 ? atoi(argv[1]) : 102400;
  const double duration = argc > 2 ? atof(argv[2]) : 10.0;
  char profile[64];
  snprintf(profile, sizeof profile, "in_bits=24;in_channels=8");
  if (vexdaq_sim_plug(profile) < 0 || vexdaq_device_list() < 1 || vexdaq_device_open(0) != 0) {
    fprintf(stderr, "no virtual instrument\n");
    return 1;
  }
  const int channels = 8;
  const int64_t frames = (int64_t)(duration * rate + 0.5);
  /* The same blocks and FIFO sizes as the Python package: 50 ms, two seconds. */
  const int32_t block = rate / 20 > 0 ? rate / 20 : 1;
  int32_t capacity = rate * 2;
  if (capacity < block * 8) capacity = block * 8;
  int32_t *data = malloc(sizeof(int32_t) * (size_t)frames * channels);
  uint8_t *staging = malloc((size_t)block * 3);
  if (data == NULL || staging == NULL) return 1;
  vexdaq_create_buffers(0, capacity);
  vexdaq_set_output_channel(0);
  vexdaq_set_input_channel((1u << channels) - 1);
  int32_t out_rate = 0, in_rate = 0;
  vexdaq_get_sample_rate(&out_rate, &in_rate);
  vexdaq_set_sample_rate(out_rate, rate);
  vexdaq_reset_loss_counters();

  const double cpu0 = seconds_of(CLOCK_THREAD_CPUTIME_ID);
  const double wall0 = seconds_of(CLOCK_MONOTONIC);
  vexdaq_start();
  int64_t done = 0;
  while (done < frames) {
    const int32_t n = (int32_t)(frames - done < block ? frames - done : block);
    for (int c = 0; c < channels; ++c) {
      if (vexdaq_recv_data(c, staging, n * 3, 1) != n * 3) {
        fprintf(stderr, "the stream stopped\n");
        return 1;
      }
      int32_t *to = data + (size_t)c * (size_t)frames + (size_t)done;
      for (int32_t s = 0; s < n; ++s) {
        const uint8_t *p = staging + 3 * s;
        to[s] = (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) >> 8;
      }
    }
    done += n;
  }
  vexdaq_stop();
  const double cpu = seconds_of(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  const double wall = seconds_of(CLOCK_MONOTONIC) - wall0;
  vexdaq_loss_counters loss = {0};
  vexdaq_get_loss_counters(1, VEXDAQ_ALL_CHANNELS, &loss);
  printf("cpu_s=%.4f wall_s=%.3f frames=%lld lost=%llu check=%d\n", cpu, wall, (long long)frames,
         (unsigned long long)(loss.overwritten + loss.dropped), data[frames - 1]);
  vexdaq_dispose_buffers();
  vexdaq_device_close();
  vexdaq_sim_reset();
  free(staging);
  free(data);
  return 0;
}
