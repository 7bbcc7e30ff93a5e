// The session's life, in one place. Its states and the transitions between them:
//
//   closed    --open-->            opening    log opened, device opened by index; a failure closes
//                                             the log again and returns to closed
//   opening   --core up-->         open       locks, queue and core created, the core's start-up
//                                             signal seen; session_token set: exports may use it
//   opening   --core failed-->     unusable   core_failed set, session_token stays 0: every
//                                             export refuses, only the close moves on
//   open      --core failed-->     unusable   (the core marks itself failed; the token stays)
//   open | unusable --close-->     closing    session_token cleared first, waiters woken, UART
//                                             transfers cancelled, stop and exit posted, core
//                                             joined, calls still inside the library drained
//   closing   --torn down-->       closed     queue, locks, flags, handles and slot events back
//                                             to their closed values; the log closed
//
// An open while a session exists leaves it alone and returns -1 (its failure has a log file of
// its own). Open and close take turns on the life lock, so a second close waits for the first
// and then finds nothing to close, and an open waits for a close under way. Once the close has
// cleared the session token the core refuses every message but its stop and exit
// (core/core_thread.cpp), so nothing a racing call posts can start the stream again. A process
// that ends with its session open closes it from exit().
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace vexdaq {

// Open and close take turns on it. Never destroyed: the close at process exit may run after the
// static destructors.
platform::Mutex &life_lock();

// closed -> open (or unusable); 0, or -1 when no device could be opened or a session exists.
// Caller holds life_lock() (not annotated: the caller takes it outside api_guard's lambda), taken
// before it counts as a call inside the library: a close holding the lock waits for every such call
// to leave.
int32_t session_open(int32_t index);

// open | unusable -> closed; harmless when closed. Takes life_lock() itself.
void session_close() EXCLUDES(life_lock());

}  // namespace vexdaq
