// What the Win32 side of the platform seam promises beyond the portable tests in unit/.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/sync.h"
#include "platform/thread.h"
#include "win32_headers.h"

namespace vexdaq::platform {
namespace {

std::atomic<int> g_seen_priority{0};

uint32_t record_priority(void *) {
  g_seen_priority.store(GetThreadPriority(GetCurrentThread()));
  return 0;
}

// The transfer threads must already run at the highest priority when they post their first
// transfers, not some time later.
TEST(Win32Thread, TheHighestPriorityIsInPlaceBeforeTheEntryRuns) {
  g_seen_priority.store(-100);
  auto thread = Thread::create(record_priority, nullptr, Thread::Priority::kHighest);
  ASSERT_NE(thread, nullptr);
  thread->join();
  EXPECT_EQ(g_seen_priority.load(), THREAD_PRIORITY_HIGHEST);

  thread = Thread::create(record_priority, nullptr);
  ASSERT_NE(thread, nullptr);
  thread->join();
  EXPECT_EQ(g_seen_priority.load(), THREAD_PRIORITY_NORMAL);
}

// The driver's failures are read back with last_error after the system call that set them.
TEST(Win32LastError, IsTheSystemsOwnPerThreadStatus) {
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(last_error(), ERROR_ACCESS_DENIED);
  set_last_error(0xE000100A);
  EXPECT_EQ(GetLastError(), 0xE000100Au);
}

TEST(Win32Semaphore, CountIsReportedWithoutChangingIt) {
  auto s = create_semaphore(3, 128);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->count(), 3);
  EXPECT_EQ(s->count(), 3);
  EXPECT_EQ(s->wait(0), WaitResult::kSignaled);
  EXPECT_EQ(s->count(), 2);
}

}  // namespace
}  // namespace vexdaq::platform
