// The core thread: brings the device up, starts the transfer threads and then carries out the
// queued messages one at a time until MSG_EXIT.
//
// Started by vexdaq_device_open once the locks, semaphores and the message queue exist; the open
// waits for message_done, which the core releases exactly once when its start-up has ended, with
// core_failed set when it did not come up. Stopped by vexdaq_device_close, which posts MSG_STOP and
// MSG_EXIT and then joins it. On its way out the core refuses further posts and releases every
// poster whose message is still queued, then waits for txthread and rxthread (both end once they
// see core_exit) and releases the descriptor copies.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/thread.h"

namespace vexdaq {

// Thread entry; the argument is ignored. Returns 0.
uint32_t core_thread_main(void *unused);

// What one turn of the message loop leaves the loop to do.
enum class Dispatched {
  kGoOn,        // a message was carried out or refused, or there was none: take the next
  kExit,        // MSG_EXIT was carried out
  kWaitFailed,  // waiting for a message failed: the loop cannot go on
};

// One turn of the message loop on the core thread: takes the oldest message, carries it out and
// releases its poster when the type is synchronous.
Dispatched dispatch_message();

// How the core creates txthread and rxthread: by default Thread::create(entry, nullptr,
// Priority::kHighest). Tests substitute a factory to make one creation fail; set it only while
// no session is open, and pass null to restore the default.
using TransferThreadFactory = std::unique_ptr<platform::Thread> (*)(platform::Thread::Entry entry);
void set_transfer_thread_factory(TransferThreadFactory factory);

}  // namespace vexdaq
