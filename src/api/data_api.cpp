#include "api/api_guard.h"
#include "stream/stream_data.h"
#include "vexdaq/vexdaq.h"

using namespace vexdaq;

extern "C" {

int32_t vexdaq_send_data(int32_t channel, const uint8_t *source, int32_t bytes, int32_t blocking) {
  return api_guard("vexdaq_send_data",
                   [&] { return stream_send_data(channel, source, bytes, blocking); });
}

int32_t vexdaq_recv_data(int32_t channel, uint8_t *destination, int32_t bytes, int32_t blocking) {
  return api_guard("vexdaq_recv_data",
                   [&] { return stream_recv_data(channel, destination, bytes, blocking); });
}

// The first argument is accepted for compatibility and not used.
int32_t vexdaq_send_all_data(int32_t, const uint8_t *source, int32_t bytes, int32_t blocking) {
  return api_guard("vexdaq_send_all_data",
                   [&] { return stream_send_all_data(source, bytes, blocking); });
}

int32_t vexdaq_recv_all_data(int32_t, uint8_t *destination, int32_t bytes, int32_t blocking) {
  return api_guard("vexdaq_recv_all_data",
                   [&] { return stream_recv_all_data(destination, bytes, blocking); });
}

}  // extern "C"
