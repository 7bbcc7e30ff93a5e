// Semaphore and Event on Linux: one 32-bit word each, waited on with the futex system call.
//
// A condition variable costs a mutex on both sides and wakes its waiter only for it to block on
// that mutex again; the transfer threads signal and poll an event per packet, tens of thousands
// of times a second, and a synchronous command crosses two semaphores. Here a signal with nobody
// waiting is one atomic operation, a poll is one load, and a wake-up is one system call.
//
// The word holds the count (an event's is 0 or 1) in its low 31 bits and, in the top bit, a flag
// saying that a thread may be asleep on it. A waiter sets the flag before it sleeps; whoever adds
// to the count clears it and, only if it was set, wakes every sleeper: those that find nothing
// left set the flag again and sleep on. The signalling thread never touches the object after the
// change of the word but to name its address in the wake-up, which the kernel does not read: a
// waiter may free the object as soon as it has taken its count.
#include "platform/sync.h"

#if defined(__linux__)

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace vexdaq::platform {

namespace {

constexpr uint32_t kSleepers = 1u << 31;
constexpr uint32_t kCountMask = kSleepers - 1;

// Sleeps while the word still holds `expected`, until woken or the absolute CLOCK_MONOTONIC
// deadline (null: none). False only when the deadline passed.
bool futex_sleep(std::atomic<uint32_t> &word, uint32_t expected, const timespec *deadline) {
  const long result =
      syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_BITSET_PRIVATE, expected,
              deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  return !(result == -1 && errno == ETIMEDOUT);
}

void futex_wake_all(std::atomic<uint32_t> &word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

timespec deadline_after(uint32_t timeout_ms) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  now.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

// Takes one count, sleeping while there is none, up to timeout_ms.
WaitResult take_one(std::atomic<uint32_t> &word, uint32_t timeout_ms) {
  timespec deadline{};
  bool deadline_set = false;
  bool last_look = false;
  uint32_t value = word.load(std::memory_order_relaxed);
  for (;;) {
    if ((value & kCountMask) != 0) {
      if (word.compare_exchange_weak(value, value - 1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
        return WaitResult::kSignaled;
      }
      continue;
    }
    if (timeout_ms == 0 || last_look) return WaitResult::kTimedOut;
    if ((value & kSleepers) == 0) {
      if (!word.compare_exchange_weak(value, value | kSleepers, std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
        continue;
      }
      value |= kSleepers;
    }
    if (timeout_ms != kWaitForever && !deadline_set) {
      deadline = deadline_after(timeout_ms);
      deadline_set = true;
    }
    // A count given just as the deadline passes is still taken, rather than reported late.
    if (!futex_sleep(word, value, deadline_set ? &deadline : nullptr)) last_look = true;
    value = word.load(std::memory_order_relaxed);
  }
}

// Sets the count to what `next` makes of it (false from next: refused, nothing changed), clears
// the sleepers' flag and wakes them if it was set.
template <typename Next>
bool give(std::atomic<uint32_t> &word, Next next) {
  uint32_t value = word.load(std::memory_order_relaxed);
  uint32_t changed = 0;
  do {
    if (!next(value & kCountMask, changed)) return false;
  } while (!word.compare_exchange_weak(value, changed, std::memory_order_release,
                                       std::memory_order_relaxed));
  if ((value & kSleepers) != 0) futex_wake_all(word);
  return true;
}

}  // namespace

Semaphore::Semaphore(int32_t initial, int32_t maximum) {
  native_.word.store(static_cast<uint32_t>(initial));
  native_.maximum = maximum;
}

bool Semaphore::release(int32_t count) {
  const auto maximum = static_cast<uint32_t>(native_.maximum);
  return give(native_.word, [&](uint32_t now, uint32_t &next) {
    if (count < 1 || static_cast<uint32_t>(count) > maximum - now) return false;
    next = now + static_cast<uint32_t>(count);
    return true;
  });
}

WaitResult Semaphore::wait(uint32_t timeout_ms) {
  return take_one(native_.word, timeout_ms);
}

int32_t Semaphore::count() const {
  return static_cast<int32_t>(native_.word.load(std::memory_order_relaxed) & kCountMask);
}

Event::Event(bool initially_set) {
  native_.word.store(initially_set ? 1u : 0u);
}

void Event::set() {
  give(native_.word, [](uint32_t, uint32_t &next) {
    next = 1;
    return true;
  });
}

void Event::reset() {
  native_.word.fetch_and(kSleepers, std::memory_order_relaxed);
}

WaitResult Event::wait(uint32_t timeout_ms) {
  return take_one(native_.word, timeout_ms);
}

bool Event::is_set() const {
  return (native_.word.load(std::memory_order_acquire) & kCountMask) != 0;
}

uint32_t WaitWord::load() const {
  return native_.word.load(std::memory_order_seq_cst);
}

void WaitWord::advance() {
  native_.word.fetch_add(1, std::memory_order_seq_cst);
  futex_wake_all(native_.word);
}

void WaitWord::wait_while(uint32_t seen) {
  while (native_.word.load(std::memory_order_seq_cst) == seen) {
    futex_sleep(native_.word, seen, nullptr);
  }
}

}  // namespace vexdaq::platform

#endif  // __linux__
