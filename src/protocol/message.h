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

// Whether the poster of this type waits until the core has carried the message out.
bool is_synchronous(uint32_t msg_id);

// What post_message returns for an asynchronous message that found the queue full.
inline constexpr int32_t kPostDropped = 1;

// Hands a message to the core thread. Any thread but the core thread itself.
//  0   an asynchronous message is queued; a synchronous one has been carried out (its payload
//      stays in use until then);
//  kPostDropped  an asynchronous message found the queue full and was dropped (counted);
//  -1  not delivered: no session, no queue, or the core is ending or gone; a synchronous poster
//      whose message is still queued when the core ends is released with -1 as well.
// A synchronous message and MSG_EXIT never find the queue full: they wait until the core has made
// room (or the queue is closed, -1).
int32_t post_message(uint32_t msg_id, int32_t primary, int32_t secondary, int32_t data_length,
                     void *payload);

// Asynchronous messages dropped on a full queue since the library was loaded.
uint64_t dropped_message_count();

}  // namespace vexdaq
