// The command record handed to the core thread, and posting.
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

struct CoreMessage {
  uint32_t msg_id;
  int32_t primary;
  int32_t secondary;
  int32_t data_length;
  void *payload;  // the poster's bytes (synchronous types only), or null
};

// Whether the poster of this type waits until the core has carried the message out.
bool is_synchronous(uint32_t msg_id);

// Hands a message to the core thread; for synchronous types, returns only after the core has
// carried out this very message (the payload stays in use until then). Any thread but the core
// thread itself. Always returns 0. A message that cannot be queued (no session, queue missing or
// full, or the core already ending) is dropped and its poster does not wait; a synchronous
// poster whose message is still queued when the core ends is released without it being carried
// out (message_queue.h).
int32_t post_message(uint32_t msg_id, int32_t primary, int32_t secondary, int32_t data_length,
                     void *payload);

}  // namespace vexdaq
