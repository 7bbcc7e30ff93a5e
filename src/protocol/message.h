// The command record handed to the core thread.
#pragma once

#include <cstdint>

namespace vexdaq {

enum : uint32_t {
  MSG_START = 0x402,
  MSG_STOP = 0x403,
  MSG_EXIT = 0x404,
  MSG_TRIGGER_MODE = 0x410,
  MSG_SAMPLE_MODE = 0x411,
  MSG_SAMPLE_RATE = 0x412,
  MSG_IN_LEVEL = 0x424,
  MSG_IN_ICP = 0x427,
  MSG_GPIO_MODE = 0x4A0,
  MSG_DIO_WRITE = 0x4A1,
  MSG_DIO_READ = 0x4A2,
  MSG_PWM_SET = 0x4A3,
  MSG_COUNTER_SET = 0x4A4,
  MSG_COUNTER_READ = 0x4A5,
  MSG_UART_LINE_CODE = 0x501,
  MSG_I2C_WRITE = 0x502,
  MSG_I2C_READ = 0x503,
};

// MSG_STOP's primary: whether the stop also ends the application's request to stream
// (run_requested). A transfer failure and a close keep the request; vexdaq_stop and
// vexdaq_dispose_buffers end it.
enum StopReason : int32_t { kStopEndsRequest = 0, kStopKeepsRequest = 1 };

struct CoreMessage {
  uint32_t msg_id;
  int32_t primary;
  int32_t secondary;
  int32_t data_length;
  void *payload;  // the poster's bytes (synchronous types only), or null
};

}  // namespace vexdaq
