// Transfers on the UART pipes: one overlapped bulk transfer at a time, never blocking the caller
// for long.
#pragma once

#include <cstdint>

namespace vexdaq {

// A direction's pipe and its log lines.
struct UartDirection {
  int pipe;  // index into pipe_handles
  const char *start_failed;
  const char *wait_failed;
  const char *transfer_failed;
};

extern const UartDirection kUartWrite;
extern const UartDirection kUartRead;

// One transfer on the direction's pipe: `count` bytes from `out` (a write) or into `in` (a read),
// waited for at most 50 ms and then cancelled. The bytes travel through the call's own buffer,
// copied in before a write and out after a read, so that a transfer the driver never gives back
// cannot write into the caller's memory. A close on another thread cancels the transfer.
// Returns the bytes moved; -1 without a usable session or pipe, for bad arguments, or when the
// session closed under the call; -2 when no event could be made; -3 when the transfer could not
// start, its wait failed or it failed. Any application thread.
int32_t uart_transfer(const UartDirection &direction, const uint8_t *out, uint8_t *in,
                      int32_t count);

}  // namespace vexdaq
