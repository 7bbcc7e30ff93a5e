#include "session/message_queue.h"

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "platform/sync.h"
#include "session/fifo.h"
#include "session/log.h"
#include "session/session_state.h"

namespace vexdaq {

// The signal a synchronous poster waits on, and what became of its message. A semaphore rather
// than an event: its release wakes the poster after dropping its lock, so the poster does not wake
// only to wait for that lock (an event must notify under its lock in case its waiter destroys it;
// the pool below makes that impossible here).
struct PostCompletion {
  std::unique_ptr<platform::Semaphore> signal;
  std::atomic<int32_t> result{-1};  // 0 carried out, -1 released without being carried out
};

namespace {

// completions[slot] belongs to the poster waiting for the message stored in that queue slot.
bool g_accepting GUARDED_BY(g_session.message_lock) = false;
PostCompletion *g_completions[kMessageQueueCapacity] GUARDED_BY(g_session.message_lock) = {};

std::atomic<uint64_t> g_dropped{0};

// Completion signals are pooled rather than owned by the posting thread: the core may still be
// inside release() when the released poster returns, so a signal must outlive the post that used
// it. Beside them, an eventcount for posters waiting for room: they sleep until the core has taken
// a message or the queue has closed, and the core pays one atomic load when nobody waits.
struct PosterShared {
  platform::Mutex lock;
  std::vector<std::unique_ptr<PostCompletion>> idle GUARDED_BY(lock);

  std::atomic<int32_t> room_waiters{0};
  platform::Mutex room_lock;
  platform::CondVar room_changed;
  uint64_t room_epoch GUARDED_BY(room_lock) = 0;
};

// Never destroyed: a session still open when the process exits is closed from an exit handler,
// which may run after the static destructors of objects made later than it was registered.
PosterShared &shared() {
  static PosterShared *const poster_shared = new PosterShared;
  return *poster_shared;
}

std::unique_ptr<PostCompletion> acquire_completion() {
  PosterShared &pool = shared();
  {
    platform::MutexLock hold(pool.lock);
    if (!pool.idle.empty()) {
      std::unique_ptr<PostCompletion> completion = std::move(pool.idle.back());
      pool.idle.pop_back();
      return completion;
    }
  }
  auto completion = std::make_unique<PostCompletion>();
  completion->signal = platform::create_semaphore(0, 1);
  if (completion->signal == nullptr) return nullptr;
  return completion;
}

void recycle_completion(std::unique_ptr<PostCompletion> completion) {
  if (completion == nullptr) return;
  PosterShared &pool = shared();
  platform::MutexLock hold(pool.lock);
  pool.idle.push_back(std::move(completion));
}

void release_poster(PostCompletion *completion, int32_t result) {
  completion->result.store(result);
  completion->signal->release(1);
}

// A poster's registration as waiting for room, for the whole post. The same pattern as the
// stream waiters: arm, look under message_lock, wait; a take after the look always wakes it.
class RoomWait {
 public:
  RoomWait() { shared().room_waiters.fetch_add(1, std::memory_order_seq_cst); }
  ~RoomWait() { shared().room_waiters.fetch_sub(1, std::memory_order_seq_cst); }
  RoomWait(const RoomWait &) = delete;
  RoomWait &operator=(const RoomWait &) = delete;

  void arm() {
    PosterShared &s = shared();
    platform::MutexLock hold(s.room_lock);
    seen_ = s.room_epoch;
  }
  void wait() {
    PosterShared &s = shared();
    platform::MutexLock hold(s.room_lock);
    while (s.room_epoch == seen_) s.room_changed.wait(s.room_lock);
  }

 private:
  uint64_t seen_ = 0;
};

// Called after message_lock is released by whoever made room or closed the queue.
void wake_room_waiters() {
  PosterShared &s = shared();
  if (s.room_waiters.load(std::memory_order_seq_cst) == 0) return;
  {
    platform::MutexLock hold(s.room_lock);
    ++s.room_epoch;
  }
  s.room_changed.notify_all();
}

// The slot the next stored item goes to, or -1 when the message cannot be stored: the queue
// never overwrites a pending command.
int32_t free_slot(const fifo_record &queue) {
  if (queue.capacity != kMessageQueueCapacity || queue.free_count <= 0) return -1;
  if (queue.write_index < 0 || queue.write_index >= kMessageQueueCapacity) return -1;
  return queue.write_index;
}

enum class Store { kStored, kFull, kRefused };

// One attempt to store the message, under message_lock.
Store try_store(const CoreMessage &message, PostCompletion *completion) {
  platform::MutexLock hold(g_session.message_lock);
  fifo_handle queue = g_session.message_queue;
  if (queue == nullptr) {
    fifo_write_one(queue, &message);  // logs the missing queue, stores nothing
    return Store::kRefused;
  }
  if (!g_accepting) return Store::kRefused;
  const int32_t slot = free_slot(*queue);
  if (slot < 0) return Store::kFull;
  fifo_write_one(queue, &message);
  g_completions[slot] = completion;
  return Store::kStored;
}

}  // namespace

bool is_synchronous(uint32_t msg_id) {
  switch (msg_id) {
    case MSG_START:
    case MSG_STOP:
    case MSG_TRIGGER_MODE:
    case MSG_SAMPLE_MODE:
    case MSG_SAMPLE_RATE:
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
  {
    const platform::MutexLock hold(g_session.message_lock);
    if (g_session.message_queue == nullptr) return -1;  // no session: no core to hand it to
  }

  const bool waits = is_synchronous(msg_id);
  std::unique_ptr<PostCompletion> completion;
  if (waits) {
    completion = acquire_completion();
    // Without a signal of its own the poster could not tell when its buffer is free again, so
    // the message is not handed over at all.
    if (completion == nullptr) return -1;
    completion->result.store(-1);
  }

  // A message somebody waits for, and the exit that ends the core, wait for room: the core
  // drains the queue, and losing them would hang the poster or the close.
  Store stored = Store::kFull;
  if (waits || msg_id == MSG_EXIT) {
    RoomWait room;
    for (;;) {
      room.arm();
      stored = try_store(message, completion.get());
      if (stored != Store::kFull) break;
      room.wait();
    }
  } else {
    stored = try_store(message, nullptr);
  }

  int32_t result = -1;
  if (stored == Store::kStored) {
    g_session.message_available->release(1);
    result = 0;
    if (waits) {
      completion->signal->wait();
      result = completion->result.load();
    }
  } else if (stored == Store::kFull) {
    g_dropped.fetch_add(1);
    result = kPostDropped;
  }
  recycle_completion(std::move(completion));
  return result;
}

uint64_t dropped_message_count() {
  return g_dropped.load();
}

bool message_queue_create() {
  g_session.message_available = platform::create_semaphore(0, kMessageQueueCapacity);
  g_session.message_done = platform::create_semaphore(0, 1);
  const platform::MutexLock hold(g_session.message_lock);
  g_session.message_queue =
      fifo_create(kMessageQueueCapacity, static_cast<int32_t>(sizeof(CoreMessage)));
  return g_session.message_queue != nullptr && g_session.message_available != nullptr &&
         g_session.message_done != nullptr;
}

void message_queue_destroy() {
  {
    const platform::MutexLock hold(g_session.message_lock);
    if (g_session.message_queue != nullptr) fifo_delete(g_session.message_queue);
    g_session.message_queue = nullptr;
  }
  g_session.message_done.reset();
  g_session.message_available.reset();
}

void message_queue_open() {
  platform::MutexLock hold(g_session.message_lock);
  for (PostCompletion *&completion : g_completions) completion = nullptr;
  g_accepting = g_session.message_queue != nullptr && g_session.message_available != nullptr;
}

int32_t take_message(TakenMessage &taken) {
  taken = TakenMessage{};
  log_print(LogLevel::kEntry, "waiting message in main thread\r\n");
  platform::Semaphore *const available = g_session.message_available.get();
  if (available == nullptr || available->wait() != platform::WaitResult::kSignaled) return -1;

  {
    platform::MutexLock hold(g_session.message_lock);
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
  }
  wake_room_waiters();
  return 0;
}

void complete_message(TakenMessage &taken, int32_t result) {
  if (taken.completion == nullptr) return;
  PostCompletion *const completion = taken.completion;
  taken.completion = nullptr;
  release_poster(completion, result);
}

void message_queue_close() {
  {
    platform::MutexLock hold(g_session.message_lock);
    g_accepting = false;
    for (PostCompletion *&completion : g_completions) {
      if (completion != nullptr) release_poster(completion, -1);
      completion = nullptr;
    }
  }
  wake_room_waiters();  // posters waiting for room learn that there will be none
}

}  // namespace vexdaq
