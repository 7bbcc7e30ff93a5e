// The message queue on its own: the test plays the core thread with take_message and
// complete_message, so the order of events is under its control.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "protocol/message.h"
#include "session/fifo.h"
#include "session/message_queue.h"
#include "session/session_state.h"
#include "vexdaq/vexdaq.h"

namespace vexdaq {
namespace {

using std::chrono::seconds;

class MessageQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(message_queue_create());
    message_queue_open();
  }

  void TearDown() override {
    message_queue_close();  // releases any poster a failed expectation left waiting
    for (std::thread &poster : posters_) poster.join();
    message_queue_destroy();
  }

  // Posts on a thread of its own; the future becomes ready when post_message has returned.
  std::future<void> post_async(uint32_t msg_id, int32_t primary, void *payload = nullptr) {
    auto returned = std::make_shared<std::promise<void>>();
    std::future<void> future = returned->get_future();
    posters_.emplace_back([=] {
      post_message(msg_id, primary, 0, 0, payload);
      returned->set_value();
    });
    return future;
  }

  // The same, keeping what post_message returned.
  std::future<int32_t> post_async_result(uint32_t msg_id, int32_t primary,
                                         void *payload = nullptr) {
    auto returned = std::make_shared<std::promise<int32_t>>();
    std::future<int32_t> future = returned->get_future();
    posters_.emplace_back(
        [=] { returned->set_value(post_message(msg_id, primary, 0, 0, payload)); });
    return future;
  }

  static bool returns_value(std::future<int32_t> &future) {
    return future.wait_for(seconds(10)) == std::future_status::ready;
  }

  static bool returns(std::future<void> &future) {
    return future.wait_for(seconds(10)) == std::future_status::ready;
  }

  std::vector<std::thread> posters_;
};

TEST_F(MessageQueueTest, EachSynchronousPosterIsReleasedByItsOwnMessage) {
  uint8_t first_buffer = 0;
  uint8_t second_buffer = 0;
  std::future<void> first_returned = post_async(MSG_DIO_READ, 1, &first_buffer);
  TakenMessage first;
  ASSERT_EQ(take_message(first), 0);
  std::future<void> second_returned = post_async(MSG_COUNTER_READ, 2, &second_buffer);
  TakenMessage second;
  ASSERT_EQ(take_message(second), 0);
  ASSERT_TRUE(first.taken);
  ASSERT_TRUE(second.taken);
  EXPECT_EQ(first.message.payload, &first_buffer);
  EXPECT_EQ(second.message.payload, &second_buffer);

  // Finishing the later message must free its poster and only its poster: the first one's
  // buffer is still in use.
  complete_message(second);
  ASSERT_TRUE(returns(second_returned));
  EXPECT_EQ(first_returned.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  complete_message(first);
  EXPECT_TRUE(returns(first_returned));
}

TEST_F(MessageQueueTest, AsynchronousPostDoesNotWait) {
  post_message(MSG_IN_LEVEL, 5, 3, 0, nullptr);
  TakenMessage taken;
  ASSERT_EQ(take_message(taken), 0);
  ASSERT_TRUE(taken.taken);
  EXPECT_EQ(taken.message.msg_id, MSG_IN_LEVEL);
  EXPECT_EQ(taken.message.primary, 5);
  EXPECT_EQ(taken.message.secondary, 3);
  EXPECT_EQ(taken.completion, nullptr);
}

TEST_F(MessageQueueTest, FullQueueDropsAndCountsAsynchronousPostsOnly) {
  for (int32_t i = 0; i < kMessageQueueCapacity; ++i) {
    ASSERT_EQ(post_message(MSG_IN_LEVEL, i, 0, 0, nullptr), 0);
  }
  const uint64_t dropped_before = dropped_message_count();
  EXPECT_EQ(post_message(MSG_IN_ICP, 999, 0, 0, nullptr), kPostDropped);
  EXPECT_EQ(dropped_message_count(), dropped_before + 1);

  // A synchronous post and the exit wait for room instead of being lost.
  uint8_t port = 0;
  std::future<int32_t> sync_result = post_async_result(MSG_DIO_READ, 7, &port);
  std::future<int32_t> exit_result = post_async_result(MSG_EXIT, 0);
  EXPECT_EQ(sync_result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  std::vector<TakenMessage> taken(kMessageQueueCapacity + 2);
  for (int32_t i = 0; i < kMessageQueueCapacity + 2; ++i) {
    ASSERT_EQ(take_message(taken[i]), 0);
    ASSERT_TRUE(taken[i].taken) << i;
    if (i < kMessageQueueCapacity) {
      EXPECT_EQ(taken[i].message.msg_id, MSG_IN_LEVEL);
      EXPECT_EQ(taken[i].message.primary, i);
    }
  }
  // The two waiting posts went in behind the stored ones, in either order.
  EXPECT_NE(taken[kMessageQueueCapacity].message.msg_id,
            taken[kMessageQueueCapacity + 1].message.msg_id);
  ASSERT_TRUE(returns_value(exit_result));
  EXPECT_EQ(exit_result.get(), 0);
  for (TakenMessage &message : taken) complete_message(message);
  ASSERT_TRUE(returns_value(sync_result));
  EXPECT_EQ(sync_result.get(), 0);
  EXPECT_EQ(g_session.message_available->count(), 0);
  EXPECT_EQ(dropped_message_count(), dropped_before + 1);
}

TEST_F(MessageQueueTest, PostsTheCoreWillNotCarryOutReturnMinusOne) {
  // Stored but never carried out: released by the close with -1.
  std::future<int32_t> queued = post_async_result(MSG_STOP, 0);
  ASSERT_EQ(g_session.message_available->wait(), platform::WaitResult::kSignaled);  // stored
  // Waiting for room when the core ends: released as well.
  for (int32_t i = 1; i < kMessageQueueCapacity; ++i) post_message(MSG_IN_LEVEL, i, 0, 0, nullptr);
  std::future<int32_t> no_room = post_async_result(MSG_START, 0);
  message_queue_close();
  ASSERT_TRUE(returns_value(queued));
  EXPECT_EQ(queued.get(), -1);
  ASSERT_TRUE(returns_value(no_room));
  EXPECT_EQ(no_room.get(), -1);

  // After the close nothing is accepted, and nobody waits.
  EXPECT_EQ(post_message(MSG_START, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(post_message(MSG_EXIT, 0, 0, 0, nullptr), -1);
  EXPECT_EQ(post_message(MSG_IN_LEVEL, 0, 0, 0, nullptr), -1);
}

TEST_F(MessageQueueTest, ClosingReleasesPostersWhoseMessagesStayQueued) {
  std::future<void> first_returned = post_async(MSG_STOP, 0);
  ASSERT_EQ(g_session.message_available->wait(), platform::WaitResult::kSignaled);  // stored
  message_queue_close();
  EXPECT_TRUE(returns(first_returned));

  // After the close nothing is accepted, and nobody waits.
  std::future<void> late_returned = post_async(MSG_START, 0);
  EXPECT_TRUE(returns(late_returned));
  EXPECT_EQ(g_session.message_available->count(), 0);
}

// A session whose core has ended: no export may report a command it could not hand over.
TEST_F(MessageQueueTest, ExportsWhoseCommandCannotBeDeliveredFail) {
  message_queue_close();
  g_session.session_token.store(1);
  uint8_t byte = 0;
  EXPECT_EQ(vexdaq_start(), -1);
  EXPECT_EQ(vexdaq_stop(), -1);
  EXPECT_EQ(vexdaq_dispose_buffers(), -1);
  EXPECT_EQ(vexdaq_set_pwm(1, 1000, 50), -1);
  EXPECT_EQ(vexdaq_digital_io_read(0, &byte, 1), -1);
  EXPECT_EQ(vexdaq_set_input_gear(0x1, 0, 3), -1);
  EXPECT_EQ(vexdaq_set_sample_rate(48000, 48000), -1);
  g_session.session_token.store(0);
}

TEST_F(MessageQueueTest, MissingQueueStoresNothingAndNobodyWaits) {
  fifo_handle queue = g_session.message_queue;
  g_session.message_queue = nullptr;
  std::future<void> returned = post_async(MSG_TRIGGER_MODE, 1);
  EXPECT_TRUE(returns(returned));
  g_session.message_queue = queue;
}

}  // namespace
}  // namespace vexdaq
