// Counts the application threads inside the library, so that a close frees the session's locks,
// FIFOs and handles only once nobody can still be using them.
//
// Every export but vexdaq_device_close enters through SessionCall (the
// guard at the C boundary). The close first clears session_token and wakes whatever may be
// blocked, so that the calls inside leave; then, between begin_session_teardown and
// end_session_teardown, it frees the session. A call that arrives during the teardown waits at
// its entry until it has ended, and then finds no session.
#pragma once

#include <cstdint>

namespace vexdaq {

class SessionCall {
 public:
  SessionCall();   // blocks only while a close tears the session down
  ~SessionCall();  // wakes a close waiting for the last call to leave
  SessionCall(const SessionCall &) = delete;
  SessionCall &operator=(const SessionCall &) = delete;
};

// For its whole life, holds new calls at their entry; the constructor blocks until every call
// inside has left. The close only, from outside any SessionCall, after it has woken the blocked
// calls. The destructor lets the held calls in, however the teardown ended.
class SessionTeardown {
 public:
  SessionTeardown();
  ~SessionTeardown();
  SessionTeardown(const SessionTeardown &) = delete;
  SessionTeardown &operator=(const SessionTeardown &) = delete;
};

// Threads inside the library now; for tests.
int32_t session_call_count();

}  // namespace vexdaq
