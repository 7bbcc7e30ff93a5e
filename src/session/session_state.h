// What the session layer owns: the token that says a session is usable, and the core's message
// queue (its code is session/message_queue.cpp, beneath every layer that posts to it).
//
// Closed values: the token 0, owned objects null. The close (core/session_life.cpp) returns what
// the open made to them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"
#include "session/fifo.h"

namespace vexdaq {

struct SessionState {
  // Non-zero exactly while a session is usable: then the address of the core thread's object.
  std::atomic<uintptr_t> session_token{0};

  // The queue of 128 CoreMessage items and its signals; created by the open, freed by the close.
  platform::Mutex message_lock;
  std::unique_ptr<platform::Semaphore> message_available;  // 0 .. 128
  std::unique_ptr<platform::Semaphore> message_done;       // 0 .. 1: the core's start-up signal
  fifo_handle message_queue GUARDED_BY(message_lock) = nullptr;
};

extern SessionState g_session;

// Whether a session is open and usable: what every export that needs the core checks first.
inline bool session_usable() {
  return g_session.session_token.load() != 0;
}

}  // namespace vexdaq
