// A close while other threads are inside the library: blocked calls are released with -1, the
// close returns, and nothing they use is freed under them (AddressSanitizer and Valgrind see a
// use after free here; ThreadSanitizer a race).
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "faults/fault_fixture.h"
#include "session/session_calls.h"
#include "stream/stream_waiters.h"

namespace vexdaq::testing {
namespace {

using ConcurrencyClose = FaultTest;

// Until `call` is blocked as a waiter, or a bounded number of looks has passed (a call that is
// not yet blocked when the close comes must give -1 all the same).
void wait_until_blocked() {
  for (int look = 0; look < 200000 && stream_waiter_count() == 0; ++look) {
    std::this_thread::yield();
  }
}

struct BlockedCall {
  const char *name;
  bool started;  // the stream runs while the call waits
  std::function<int32_t()> call;
};

TEST_F(ConcurrencyClose, ReleasesEveryBlockedDataCallWithMinusOne) {
  static uint8_t buffer[8 * 4096 * 3];
  const std::vector<BlockedCall> calls = {
      {"recv_all before start", false, [] { return vexdaq_recv_all_data(0, buffer, 1000 * 3, 1); }},
      {"recv_all streaming", true, [] { return vexdaq_recv_all_data(0, buffer, 1000 * 3, 1); }},
      {"recv streaming", true, [] { return vexdaq_recv_data(2, buffer, 1000 * 3, 1); }},
      // The output FIFO holds 4096 samples and is full: the second block cannot go in.
      {"send_all before start", false,
       [] {
         vexdaq_send_all_data(0, buffer, 4096 * 3, 1);
         return vexdaq_send_all_data(0, buffer, 4096 * 3, 1);
       }},
  };
  for (const BlockedCall &blocked : calls) {
    SCOPED_TRACE(blocked.name);
    open("pacing=realtime;in_rates=1000;out_rates=1000;in_channels=8;out_channels=2");
    ASSERT_NO_FATAL_FAILURE(prepare_stream(
        {.out_capacity = 4096, .in_capacity = 4096, .out_mask = 0x3, .in_mask = 0xFF}));
    ASSERT_EQ(vexdaq_set_sample_rate(1000, 1000), 0);
    if (blocked.started) {
      ASSERT_EQ(vexdaq_start(), 0);
    }
    std::atomic<int32_t> result{0};
    std::thread caller([&] { result.store(blocked.call()); });
    wait_until_blocked();
    vexdaq_device_close();
    caller.join();
    EXPECT_EQ(result.load(), -1);
    expect_session_closed();
    EXPECT_EQ(session_call_count(), 0);
    vexdaq_dispose_buffers();
    vexdaq_sim_reset();
  }
}

// Each read waits for its time-out on the stalled pipe; the close releases the one in flight.
TEST_F(ConcurrencyClose, ReleasesAUartReadOnAStalledPipe) {
  const int32_t sim = open("uart_loop=0");
  ASSERT_EQ(vexdaq_sim_fault(sim, "stall=uart_in"), 0);
  std::atomic<int32_t> last{0};
  std::thread caller([&] {
    uint8_t byte = 0;
    for (int i = 0; i < 10000 && last.load() != -1; ++i) last.store(vexdaq_UART_Read(&byte, 1));
  });
  vexdaq_device_close();
  caller.join();
  EXPECT_EQ(last.load(), -1);
  expect_session_closed();
}

// Threads of every family keep calling while the session is closed under them, five times over.
// Each thread's loop is bounded; it ends early once a call after the close has given -1.
TEST_F(ConcurrencyClose, ThreadsInEveryFamilyWhileTheSessionCloses) {
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    open("waveform=counter;pacing=free;in_channels=4;out_channels=2;in_bits=16;out_bits=16");
    ASSERT_NO_FATAL_FAILURE(
        start_stream({.out_capacity = 1024, .in_capacity = 1024, .out_mask = 0x3, .in_mask = 0xF}));
    std::atomic<bool> closing{false};
    std::atomic<int> unexpected{0};
    const std::vector<std::function<int32_t(int)>> jobs = {
        [](int) {
          uint8_t block[4 * 256 * 2];
          return vexdaq_recv_all_data(0, block, 256 * 2, 1);
        },
        [](int i) {
          uint8_t block[128 * 2] = {};
          return vexdaq_send_data(i % 2, block, sizeof block, 1);
        },
        [](int i) {
          uint8_t port = 0;
          if (vexdaq_set_input_gear(~0ULL, 0, static_cast<uint8_t>(i % 4)) < 0) return -1;
          return vexdaq_digital_io_read(0, &port, 1);
        },
        [](int i) { return i % 2 == 0 ? vexdaq_stop() : vexdaq_start(); },
        [](int) {
          uint8_t byte = 0;
          return vexdaq_UART_Read(&byte, 1);
        },
    };
    std::vector<std::thread> threads;
    for (const auto &job : jobs) {
      threads.emplace_back([&] {
        for (int i = 0; i < 400; ++i) {
          const int32_t result = job(i);
          if (result < -1) unexpected.fetch_add(1);
          if (result == -1 && closing.load()) break;
        }
      });
    }
    for (int look = 0; look < 1000; ++look) std::this_thread::yield();
    closing.store(true);
    vexdaq_device_close();
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(unexpected.load(), 0);
    expect_session_closed();
    vexdaq_dispose_buffers();
    vexdaq_sim_reset();
  }
}

}  // namespace
}  // namespace vexdaq::testing
