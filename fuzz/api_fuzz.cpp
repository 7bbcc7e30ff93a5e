// The exported functions with arguments from the fuzz input, in any order, against one open
// session on a streaming virtual instrument: no call may touch memory beyond the buffers it is
// given, hang, or leave the session unusable. Blocking calls are made only where the stream can
// serve them (a free-running instrument), so a call that never returns is a finding too.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "session/session_state.h"
#include "vexdaq/vexdaq.h"
#include "vexdaq/vexdaq_ext.h"
#include "vexdaq/vexdaq_sim.h"

namespace {

// An exactly sized heap buffer of the length the call is told, so an overrun is caught.
class Buffer {
 public:
  Buffer(FuzzedDataProvider &input, int32_t length) {
    if (length > 0) {
      bytes_ = std::make_unique<uint8_t[]>(static_cast<size_t>(length));
      for (int32_t i = 0; i < length; ++i) bytes_[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    } else if (input.ConsumeBool()) {
      bytes_ = std::make_unique<uint8_t[]>(1);
    }
  }
  uint8_t *get() { return bytes_.get(); }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
};

// Lengths: mostly small, sometimes around the limits.
int32_t length(FuzzedDataProvider &input) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return input.ConsumeIntegralInRange<int32_t>(-4, 0);
    case 1:
      return input.ConsumeIntegralInRange<int32_t>(65530, 70000);
    default:
      return input.ConsumeIntegralInRange<int32_t>(0, 600);
  }
}

bool ensure_session() {
  if (vexdaq::g_session.session_token.load() != 0) return true;
  vexdaq_device_close();
  vexdaq_sim_reset();
  if (vexdaq_sim_plug("exclusive=1;pacing=free;waveform=counter;in_channels=8;out_channels=4;"
                      "in_bits=24;out_bits=16;uart_loop=1") < 0) {
    return false;
  }
  return vexdaq_device_open(0) == 0 && vexdaq::g_session.session_token.load() != 0;
}

void call_one(FuzzedDataProvider &input) {
  const int32_t a = input.ConsumeIntegral<int32_t>();
  const int32_t small = input.ConsumeIntegralInRange<int32_t>(-2, 70);
  const uint64_t mask = input.ConsumeIntegral<uint64_t>();
  const uint8_t byte = input.ConsumeIntegral<uint8_t>();
  // Blocking only as the contract allows: 1 waits, anything else returns at once.
  const int32_t blocking = input.ConsumeIntegralInRange<int32_t>(0, 3) == 1 ? 1 : 2;
  switch (input.ConsumeIntegralInRange<int>(0, 36)) {
    case 0:
      vexdaq_start();
      break;
    case 1:
      vexdaq_stop();
      break;
    case 2:
      vexdaq_device_list();
      break;
    case 3: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_get_version(reinterpret_cast<char *>(b.get()), n);
      break;
    }
    case 4: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_get_information(reinterpret_cast<char *>(b.get()), n);
      break;
    }
    case 5: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_get_driver_version(reinterpret_cast<char *>(b.get()), n);
      break;
    }
    case 6: {
      Buffer b(input, 32);
      vexdaq_get_device_name(reinterpret_cast<char *>(b.get()));
      break;
    }
    case 7: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_get_device_version(reinterpret_cast<char *>(b.get()), n);
      break;
    }
    case 8:
      vexdaq_set_trigger_mode(a, byte, byte, a, small, byte);
      break;
    case 9:
      vexdaq_set_sample_mode(a, byte, a, byte);
      break;
    case 10:
      vexdaq_can_sample_rate(a, byte);
      break;
    case 11:
      vexdaq_set_sample_rate(a, input.ConsumeIntegral<int32_t>());
      break;
    case 12: {
      int32_t o = 0, i = 0;
      vexdaq_get_sample_rate(input.ConsumeBool() ? &o : nullptr, &i);
      break;
    }
    case 13: {
      int32_t w = 0;
      vexdaq_get_sample_width(input.ConsumeBool() ? &w : nullptr);
      break;
    }
    case 14: {
      int32_t o = 0, i = 0;
      vexdaq_get_channel_count(&o, input.ConsumeBool() ? &i : nullptr);
      break;
    }
    case 15:
      vexdaq_set_input_gear(mask, byte, byte);
      break;
    case 16:
      vexdaq_set_input_icp(mask, byte);
      break;
    case 17:
      vexdaq_create_buffers(input.ConsumeIntegralInRange<int32_t>(-10, 5000),
                            input.ConsumeIntegralInRange<int32_t>(-10, 5000));
      break;
    case 18:
      vexdaq_dispose_buffers();
      break;
    case 19:
      vexdaq_set_output_channel(mask);
      break;
    case 20:
      vexdaq_set_input_channel(mask);
      break;
    case 21: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_send_data(small, b.get(), n, blocking);
      break;
    }
    case 22: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_recv_data(small, b.get(), n, blocking);
      break;
    }
    // The all-channel receive fills one block per channel: 64 blocks of the length.
    case 23: {
      const int32_t n = input.ConsumeIntegralInRange<int32_t>(-4, 600);
      Buffer b(input, n * 64);
      vexdaq_recv_all_data(a, b.get(), n, blocking);
      break;
    }
    case 24: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_send_all_data(a, b.get(), n, blocking);
      break;
    }
    case 25:
      vexdaq_set_gpio_mode(static_cast<uint32_t>(a), small);
      break;
    case 26: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_digital_io_write(small, b.get(), n);
      break;
    }
    case 27: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_digital_io_read(small, b.get(), n);
      break;
    }
    case 28:
      vexdaq_set_pwm(small, a, input.ConsumeIntegral<int32_t>());
      break;
    case 29:
      vexdaq_set_counter(small, a, small);
      break;
    case 30: {
      uint32_t w = 0, x = 0, y = 0, z = 0;
      vexdaq_counter_read(small, &w, &x, input.ConsumeBool() ? &y : nullptr, &z);
      break;
    }
    case 31:
      vexdaq_set_uart_line_code(a, byte, byte, byte);
      break;
    case 32: {
      const int32_t n = input.ConsumeIntegralInRange<int32_t>(-2, 300);
      Buffer b(input, n);
      vexdaq_UART_Write(b.get(), n);
      break;
    }
    case 33: {
      const int32_t n = input.ConsumeIntegralInRange<int32_t>(-2, 300);
      Buffer b(input, n);
      vexdaq_UART_Read(b.get(), n);
      break;
    }
    case 34: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_I2C_Reg_Write(static_cast<uint16_t>(a), b.get(), n);
      break;
    }
    case 35: {
      const int32_t n = length(input);
      Buffer b(input, n);
      vexdaq_I2C_Reg_Read(static_cast<uint16_t>(a), b.get(), n);
      break;
    }
    default: {
      const int32_t n = input.ConsumeIntegralInRange<int32_t>(-2, 40);
      Buffer b(input, n);
      vexdaq_serial_download(reinterpret_cast<const char *>(b.get()), n);
      vexdaq_loss_counters counters;
      vexdaq_get_loss_counters(byte, small - 1, input.ConsumeBool() ? &counters : nullptr);
      int32_t rates[64];
      vexdaq_get_sample_rates(byte, input.ConsumeBool() ? rates : nullptr,
                              input.ConsumeIntegralInRange<int32_t>(-1, 64));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!ensure_session()) std::abort();
  FuzzedDataProvider input(data, size);
  for (int step = 0; step < 32 && input.remaining_bytes() > 0; ++step) call_one(input);
  // The next input starts from a quiet session.
  vexdaq_stop();
  vexdaq_dispose_buffers();
  if (vexdaq::g_session.session_token.load() == 0) std::abort();
  return 0;
}
