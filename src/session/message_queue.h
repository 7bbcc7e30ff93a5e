// The message queue: posting from any thread, the core thread's side, and the queue's life
// within a session.
//
// Posting stores a CoreMessage in g_session.message_queue under message_lock and
// releases message_available once per stored message. A synchronous poster waits on a completion
// signal of its own, which travels beside its message (one per queue slot), so it is released by
// its own message and no other. The start-up signal (message_done) is separate and untouched here.
//
// A session's queue accepts posts from message_queue_open until message_queue_close. Posts outside
// that window or to a missing queue store nothing and return -1 at once. A full queue drops an
// asynchronous post (counted in dropped_message_count); a synchronous post and MSG_EXIT wait for
// the core to make room instead, or for the close.
#pragma once

#include <cstdint>

#include "protocol/message.h"

namespace vexdaq {

struct PostCompletion;

inline constexpr int32_t kMessageQueueCapacity = 128;

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

// A message as the core took it, with the signal its poster waits for (null when nobody waits).
struct TakenMessage {
  bool taken = false;
  CoreMessage message{};
  PostCompletion *completion = nullptr;
};

// Make the session's queue and its two signals (the open, before message_queue_open) and free
// them again (the close, once the core has ended). Application thread, under the life lock.
// create returns whether all three exist; what it could make stays until destroy.
bool message_queue_create();
void message_queue_destroy();

// Lets the queue of the session being opened accept posts. Application thread, inside
// vexdaq_device_open, once message_queue_create has made the queue and before the core starts.
void message_queue_open();

// The taking phase of dispatch_message, on the core thread: logs the waiting line, waits without a
// time-out for message_available and copies out the oldest message. Returns -1 when the wait
// failed, else 0 (taken is false when the queue was missing or, after a stray wake-up, empty).
int32_t take_message(TakenMessage &taken);

// Releases the poster of a taken message, if it waits, with post_message's result: 0 once the
// message has been carried out, -1 when the core refused it. Core thread, when done with the
// message (the poster's buffer is not used afterwards).
void complete_message(TakenMessage &taken, int32_t result = 0);

// Stops accepting posts and releases every poster whose message is still queued (their
// post_message returns -1: those messages will never be carried out), and every poster waiting
// for room. Core thread, when its loop has ended, before it waits for the
// transfer threads (which may be blocked in a synchronous post of their own).
void message_queue_close();

}  // namespace vexdaq
