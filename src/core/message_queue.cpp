#include "core/message_queue.h"

#include <memory>
#include <utility>
#include <vector>

#include "platform/sync.h"
#include "session/device_session.h"
#include "session/fifo.h"
#include "session/log.h"

namespace vexdaq {

namespace {

// Guarded by g_session.message_lock. completions[slot] is the signal of the poster waiting for
// the message stored in that queue slot.
bool g_accepting = false;
platform::Event *g_completions[kMessageQueueCapacity] = {};

// Completion signals are pooled rather than owned by the posting thread: the core may still be
// inside set() when the released poster returns, so a signal must outlive the post that used it.
struct CompletionPool {
  platform::Mutex lock;
  std::vector<std::unique_ptr<platform::Event>> idle;
};

// Never destroyed: a session still open when the process exits is closed from an exit handler,
// which may run after the static destructors of objects made later than it was registered.
CompletionPool &completion_pool() {
  static CompletionPool *const pool = new CompletionPool;
  return *pool;
}

std::unique_ptr<platform::Event> acquire_completion() {
  CompletionPool &pool = completion_pool();
  {
    platform::MutexLock hold(pool.lock);
    if (!pool.idle.empty()) {
      std::unique_ptr<platform::Event> event = std::move(pool.idle.back());
      pool.idle.pop_back();
      return event;
    }
  }
  return platform::create_event(false);
}

void recycle_completion(std::unique_ptr<platform::Event> event) {
  if (event == nullptr) return;
  CompletionPool &pool = completion_pool();
  platform::MutexLock hold(pool.lock);
  pool.idle.push_back(std::move(event));
}

// The slot the next stored item goes to, or -1 when the message cannot be stored: the queue
// never overwrites a pending command.
int32_t free_slot(const fifo_record &queue) {
  if (queue.capacity != kMessageQueueCapacity || queue.free_count <= 0) return -1;
  if (queue.write_index < 0 || queue.write_index >= kMessageQueueCapacity) return -1;
  return queue.write_index;
}

}  // namespace

bool is_synchronous(uint32_t msg_id) {
  switch (msg_id) {
    case MSG_START:
    case MSG_STOP:
    case MSG_TRIGGER_MODE:
    case MSG_SAMPLE_MODE:
    case MSG_DIO_WRITE:
    case MSG_DIO_READ:
    case MSG_PWM_SET:
    case MSG_COUNTER_SET:
    case MSG_COUNTER_READ:
    case MSG_I2C_WRITE:
    case MSG_I2C_READ:
      return true;
    default:
      return false;
  }
}

int32_t post_message(uint32_t msg_id, int32_t primary, int32_t secondary, int32_t data_length,
                     void *payload) {
  const CoreMessage message{msg_id, primary, secondary, data_length, payload};
  platform::Mutex *const lock = g_session.message_lock.get();
  if (lock == nullptr) return 0;  // no session: there is no core to hand it to

  const bool waits = is_synchronous(msg_id);
  std::unique_ptr<platform::Event> completion;
  if (waits) {
    completion = acquire_completion();
    // Without a signal of its own the poster could not tell when its buffer is free again, so
    // the message is not handed over at all.
    if (completion == nullptr) return 0;
  }

  bool stored = false;
  {
    platform::MutexLock hold(*lock);
    fifo_handle queue = g_session.message_queue;
    if (queue == nullptr) {
      fifo_write_one(queue, &message);  // logs the missing queue, stores nothing
    } else if (g_accepting) {
      const int32_t slot = free_slot(*queue);
      if (slot >= 0) {
        fifo_write_one(queue, &message);
        g_completions[slot] = completion.get();
        stored = true;
      }
    }
  }

  if (stored) {
    g_session.message_available->release(1);
    if (waits) completion->wait();
  }
  recycle_completion(std::move(completion));
  return 0;
}

void message_queue_open() {
  platform::MutexLock hold(*g_session.message_lock);
  for (platform::Event *&completion : g_completions) completion = nullptr;
  g_accepting = g_session.message_queue != nullptr && g_session.message_available != nullptr;
}

int32_t take_message(TakenMessage &taken) {
  taken = TakenMessage{};
  log_print(1, "waiting message in main thread\r\n");
  platform::Semaphore *const available = g_session.message_available.get();
  if (available == nullptr || available->wait() != platform::WaitResult::kSignaled) return -1;

  platform::MutexLock hold(*g_session.message_lock);
  fifo_handle queue = g_session.message_queue;
  if (queue == nullptr) {
    fifo_read_one(queue, &taken.message);  // logs the missing queue
    return 0;
  }
  if (queue->free_count >= queue->capacity) return 0;  // a stray wake-up: nothing stored
  const int32_t slot = queue->read_index;
  fifo_read_one(queue, &taken.message);
  taken.taken = true;
  if (slot >= 0 && slot < kMessageQueueCapacity) {
    taken.completion = g_completions[slot];
    g_completions[slot] = nullptr;
  }
  return 0;
}

void complete_message(TakenMessage &taken) {
  if (taken.completion == nullptr) return;
  platform::Event *const completion = taken.completion;
  taken.completion = nullptr;
  completion->set();
}

void message_queue_close() {
  platform::Mutex *const lock = g_session.message_lock.get();
  if (lock == nullptr) return;
  platform::MutexLock hold(*lock);
  g_accepting = false;
  for (platform::Event *&completion : g_completions) {
    if (completion != nullptr) completion->set();
    completion = nullptr;
  }
}

}  // namespace vexdaq
