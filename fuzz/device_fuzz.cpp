// Bringing up a device that describes itself in every possible way: the input chooses the
// virtual instrument's profile (channel counts, widths, rate lists, pipes, names, protocol) and
// faults on its replies (refused, cut, padded or garbage), then discovery, the open of the five
// handles and the whole initialisation with its capability queries run as the core runs them.
// Whatever the device says, the session's values stay inside their tables.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/stream_control.h"
#include "device/device_init.h"
#include "device/discovery.h"
#include "device/device_state.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

using namespace vexdaq;

std::string number_list(FuzzedDataProvider &input) {
  std::string list;
  const int count = input.ConsumeIntegralInRange<int>(0, 70);
  for (int i = 0; i < count; ++i) {
    if (i > 0) list += ',';
    list += std::to_string(input.ConsumeIntegralInRange<uint32_t>(0, 0x7FFFFFFF));
  }
  return list;
}

// Profile text values may hold anything but the separators.
std::string text(FuzzedDataProvider &input) {
  std::string value = input.ConsumeRandomLengthString(40);
  for (char &c : value) {
    if (c == ';' || c == '=' || c == '\0') c = '_';
  }
  return value;
}

std::string profile(FuzzedDataProvider &input) {
  std::string p = "exclusive=1;pacing=free";
  p += ";in_channels=" + std::to_string(input.ConsumeIntegralInRange<int>(0, 65535));
  p += ";out_channels=" + std::to_string(input.ConsumeIntegralInRange<int>(0, 65535));
  p += ";in_bits=" + std::to_string(input.ConsumeIntegralInRange<int>(0, 64));
  p += ";out_bits=" + std::to_string(input.ConsumeIntegralInRange<int>(0, 64));
  if (input.ConsumeBool()) p += ";in_rates=" + number_list(input);
  if (input.ConsumeBool()) p += ";out_rates=" + number_list(input);
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
    p += ";protocol=" + std::to_string(input.ConsumeIntegral<uint8_t>());
  }
  p += ";pipes=" + std::to_string(input.ConsumeIntegralInRange<int>(0, 30));
  if (input.ConsumeBool()) p += ";product=" + text(input);
  if (input.ConsumeBool()) p += ";driver_opens=" + std::to_string(input.ConsumeIntegral<uint8_t>());
  if (input.ConsumeBool())
    p += ";driver_version=" + std::to_string(input.ConsumeIntegral<uint16_t>());
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
    p += ";path_length=" + std::to_string(input.ConsumeIntegralInRange<int>(0, 700));
  }
  return p;
}

// The device's requests, standard ones first (GET_DESCRIPTOR, SET_CONFIGURATION).
constexpr uint8_t kRequests[] = {0x06, 0x09, 0x13, 0xD0, 0xD1, 0xD3, 0xD5, 0xE7, 0xC3, 0xE2};

std::string fault(FuzzedDataProvider &input) {
  const std::string code = std::to_string(input.PickValueInArray(kRequests));
  const std::string length = std::to_string(input.ConsumeIntegralInRange<int>(0, 1024));
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return "short_reply=" + code + ":" + length;
    case 1:
      return "long_reply=" + code + ":" + length;
    case 2:
      return "malformed=" + code;
    case 3:
      return "fail_request=" + code;
    default:
      return "fail_ioctl=" + std::to_string(input.ConsumeIntegral<uint32_t>()) + ":0xC0000001";
  }
}

void check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int32_t id = vexdaq_sim_plug(profile(input).c_str());
  if (id < 0) return 0;
  const int faults = input.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < faults; ++i) vexdaq_sim_fault(id, fault(input).c_str());

  if (usbio_device_enumerate() >= 1 && usbio_device_open(0) == 0) {
    usbio_controller_init();
    usbio_controller_get_sample_width();
    ChannelCounts reported;
    usbio_controller_get_channel_count(&reported);
    check(g_device.in_channel_count.load() >= 0 && g_device.in_channel_count.load() <= 64);
    check(g_device.out_channel_count.load() >= 0 && g_device.out_channel_count.load() <= 64);
    check(g_device.in_rate_count >= 0 && g_device.in_rate_count <= kRateListCapacity);
    check(g_device.out_rate_count >= 0 && g_device.out_rate_count <= kRateListCapacity);
    check(g_device.pipe_count >= 0 && g_device.pipe_count <= kPipeHandleCount);
    check(std::memchr(g_device.product_name, 0, kProductNameSize) != nullptr);
    const int32_t in_packet =
        usbio_packet_size(g_device.in_channel_count.load(), g_device.in_sample_bits.load());
    check(in_packet >= 0 && in_packet <= 512);
    check(vexdaq_can_sample_rate(input.ConsumeIntegral<int32_t>(), 1) >= -1);
  }
  // What the core would release when it ends, then the handles and slot events.
  g_device.device_descriptor.reset();
  g_device.config_descriptor.reset();
  g_device.config_descriptor_size = 0;
  vexdaq_device_close();
  vexdaq_sim_reset();
  return 0;
}
