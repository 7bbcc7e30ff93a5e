#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/thread.h"

namespace vexdaq::platform {
namespace {

TEST(PlatformSemaphore, ReleaseBeyondTheMaximumFailsAndChangesNothing) {
  auto s = create_semaphore(0, 2);
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(s->release());
  EXPECT_TRUE(s->release());
  EXPECT_FALSE(s->release());
  EXPECT_EQ(s->count(), 2);
  EXPECT_FALSE(create_semaphore(0, 1)->release(2));
  EXPECT_EQ(create_semaphore(3, 2), nullptr);
}

TEST(PlatformSemaphore, WaitTakesOneCountOrTimesOut) {
  auto s = create_semaphore(1, 128);
  EXPECT_EQ(s->wait(0), WaitResult::kSignaled);
  EXPECT_EQ(s->wait(0), WaitResult::kTimedOut);
  EXPECT_EQ(s->wait(5), WaitResult::kTimedOut);
}

TEST(PlatformEvent, AutoResetLetsOneWaitThrough) {
  auto e = create_event();
  EXPECT_EQ(e->wait(0), WaitResult::kTimedOut);
  e->set();
  e->set();  // setting a set event does not count twice
  EXPECT_EQ(e->wait(0), WaitResult::kSignaled);
  EXPECT_EQ(e->wait(1), WaitResult::kTimedOut);
}

TEST(PlatformEvent, ResetClearsAPendingSignal) {
  auto e = create_event(true);
  EXPECT_TRUE(e->is_set());
  e->reset();
  EXPECT_EQ(e->wait(0), WaitResult::kTimedOut);
  EXPECT_EQ(static_cast<uint32_t>(WaitResult::kTimedOut), 0x102u);
}

// Sleepers and signallers racing on one semaphore and one event: every count released is taken
// exactly once, and no sleeper misses the wake-up meant for it (a lost one hangs the test). Each
// waiter frees its own event as soon as it has the signal, as the library's posters may.
TEST(PlatformSync, ManyThreadsHandEveryCountOverAndNoWakeUpIsLost) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  auto counts = create_semaphore(0, kThreads * kRounds);
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(counts->wait(), WaitResult::kSignaled);
        taken.fetch_add(1);
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(counts->release(1));
        auto e = create_event();
        std::thread setter([&] { e->set(); });
        ASSERT_EQ(e->wait(), WaitResult::kSignaled);
        setter.join();
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(taken.load(), kThreads * kRounds);
  EXPECT_EQ(counts->count(), 0);
}

// A scoped lock let go within its scope lets other threads in only while released, and its end
// releases the mutex exactly once (held or not).
TEST(PlatformMutex, ScopedLockReleasesAndRetakesWithinItsScope) {
  Mutex mutex;
  const auto taken_elsewhere = [&] {
    bool taken = false;
    std::thread other([&] {
      taken = mutex.try_lock();
      if (taken) mutex.unlock();
    });
    other.join();
    return taken;
  };
  {
    MutexLock hold(mutex);
    EXPECT_FALSE(taken_elsewhere());
    hold.unlock();
    EXPECT_TRUE(taken_elsewhere());
    hold.lock();
    EXPECT_FALSE(taken_elsewhere());
  }
  EXPECT_TRUE(taken_elsewhere());
  {
    MutexLock hold(mutex);
    hold.unlock();
  }
  EXPECT_TRUE(taken_elsewhere());
}

// Two threads hand a turn back and forth through one condition variable: no wake-up is lost (a
// lost one hangs the test). A timed wait nobody answers ends after its time, not before.
TEST(PlatformCondVar, HandsTurnsOverAndTimedWaitsEndAtTheirDeadline) {
  constexpr int kRounds = 2000;
  Mutex mutex;
  CondVar changed;
  int turn = 0;
  const auto play = [&](int parity) {
    MutexLock hold(mutex);
    for (int i = 0; i < kRounds; ++i) {
      while (turn % 2 != parity) changed.wait(mutex);
      ++turn;
      changed.notify_one();
    }
  };
  std::thread other(play, 1);
  play(0);
  other.join();
  EXPECT_EQ(turn, 2 * kRounds);

  MutexLock hold(mutex);
  EXPECT_FALSE(changed.wait_until(mutex, CondVar::Clock::now() - std::chrono::milliseconds(1)));
  const auto start = CondVar::Clock::now();
  while (changed.wait_for(mutex, std::chrono::milliseconds(30))) {
  }
  EXPECT_GE(CondVar::Clock::now() - start, std::chrono::milliseconds(30));
}

TEST(PlatformSync, WaitWordSleepsUntilTheWordMoves) {
  WaitWord word;
  const uint32_t seen = word.load();
  word.advance();
  word.wait_while(seen);  // already moved: returns at once
  const uint32_t now = word.load();
  EXPECT_EQ(now, seen + 1);
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    word.wait_while(now);
    woke = true;
  });
  word.advance();
  sleeper.join();
  EXPECT_TRUE(woke.load());
}

TEST(PlatformThread, RunsJoinsAndWakesAWaiter) {
  struct Shared {
    std::unique_ptr<Event> go = create_event();
    std::unique_ptr<Event> done = create_event();
    std::atomic<int> value{0};
  } shared;
  auto t = Thread::create(
      [](void *arg) -> uint32_t {
        auto *s = static_cast<Shared *>(arg);
        if (s->go->wait() == WaitResult::kSignaled) s->value = 42;
        s->done->set();
        return 0;
      },
      &shared, Thread::Priority::kHighest);
  ASSERT_NE(t, nullptr);
  shared.go->set();
  EXPECT_EQ(shared.done->wait(), WaitResult::kSignaled);
  t->join();
  EXPECT_EQ(shared.value.load(), 42);
}

TEST(PlatformThread, InjectedCreationFailureReturnsNull) {
  fail_next_thread_creations(1);
  EXPECT_EQ(Thread::create([](void *) -> uint32_t { return 0; }, nullptr), nullptr);
  auto t = Thread::create([](void *) -> uint32_t { return 0; }, nullptr);
  ASSERT_NE(t, nullptr);
  t->join();
}

TEST(PlatformClock, CounterAdvancesAcrossASleep) {
  const int64_t start = performance_counter();
  sleep_ms(2);
  const int64_t elapsed_ns =
      (performance_counter() - start) * 1000000000LL / performance_frequency();
  EXPECT_GE(elapsed_ns, 2000000);
}

TEST(PlatformLastError, IsPerThread) {
  set_last_error(0xE000100A);
  std::atomic<uint32_t> seen{1};
  auto t = Thread::create(
      [](void *arg) -> uint32_t {
        static_cast<std::atomic<uint32_t> *>(arg)->store(last_error());
        return 0;
      },
      &seen);
  t->join();
  EXPECT_EQ(seen.load(), 0u);
  EXPECT_EQ(last_error(), 0xE000100Au);
}

}  // namespace
}  // namespace vexdaq::platform
