// Wakes application threads blocked in a streaming data call, so they look again at the FIFOs,
// the active flags and core_failed. Called by whoever changes one of those: the transfer threads
// after each packet, the core thread when streaming stops or starts, and anyone who sets or
// clears core_failed. Never blocks; any thread; no library lock needs to be held or free.
#pragma once

namespace vexdaq {

void notify_stream_waiters();

}  // namespace vexdaq
