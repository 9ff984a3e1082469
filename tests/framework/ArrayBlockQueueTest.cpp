#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/ArrayBlockQueue.h"
#include "framework/Exception.h"

using Oxbrindale::Velmora::Framework::ArrayBlockQueue;

namespace {

long long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// Runs f, which must throw Exception* "BLOCK_QUEUE"; returns its message.
template <typename F>
std::string BlockQueueFailure(F f) {
  try {
    f();
  } catch (Exception* e) {
    std::string message = e->code == "BLOCK_QUEUE" ? e->message : "wrong code " + e->code;
    delete e;
    return message;
  }
  return "no exception";
}

}  // namespace

TEST(ArrayBlockQueue, CapacityNHoldsNMinusOneThenPutTimesOut) {
  int items[20];
  ArrayBlockQueue<int*> queue(20);
  queue.SetTimeout(100);
  for (int i = 0; i < 19; ++i) queue.Put(&items[i]);
  EXPECT_TRUE(queue.IsFull());
  EXPECT_EQ(queue.GetLength(), 19);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(BlockQueueFailure([&] { queue.Put(&items[19]); }), "Wait for Semaphore Timeout。");
  EXPECT_GE(ElapsedMs(start), 95);
  EXPECT_EQ(queue.GetLength(), 19);  // unchanged
  EXPECT_EQ(queue.GetTail(), &items[18]);
}

// Offer queues while a slot is free and refuses at once, queue unchanged,
// when it is full, even with a long time-out set.
TEST(ArrayBlockQueue, OfferNeverWaitsAndRefusesWhenFull) {
  int items[4];
  ArrayBlockQueue<int*> queue(4);
  queue.SetTimeout(60000);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue.Offer(&items[i]));
  EXPECT_FALSE(queue.Offer(&items[3]));
  EXPECT_EQ(queue.GetLength(), 3);
  EXPECT_EQ(queue.Take(), &items[0]);
  EXPECT_TRUE(queue.Offer(&items[3]));
  for (int i = 1; i < 4; ++i) EXPECT_EQ(queue.Take(), &items[i]);
}

TEST(ArrayBlockQueue, TakeOnEmptyTimesOutWithItsOwnMessage) {
  ArrayBlockQueue<int*> queue(4);
  EXPECT_EQ(queue.GetHead(), nullptr);
  EXPECT_EQ(queue.GetTail(), nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(BlockQueueFailure([&] { queue.TakeUntil(80); }), "Wait for semaphore timeout。");
  EXPECT_GE(ElapsedMs(start), 75);
  queue.SetTimeout(50);
  EXPECT_EQ(BlockQueueFailure([&] { queue.Take(); }), "Wait for semaphore timeout。");
}

TEST(ArrayBlockQueue, FifoAcrossTheWrapOfTheRing) {
  int items[40];
  ArrayBlockQueue<int*> queue(20);
  for (int i = 0; i < 18; ++i) queue.Put(&items[i]);
  for (int i = 0; i < 17; ++i) ASSERT_EQ(queue.Take(), &items[i]);
  queue.Put(&items[18]);
  queue.Put(&items[19]);
  EXPECT_EQ(queue.GetLength(), 3);
  EXPECT_EQ(queue.GetHead(), &items[17]);
  EXPECT_EQ(queue.GetTail(), &items[19]);  // stored in the last slot, tail now 0
  queue.Put(&items[20]);
  EXPECT_EQ(queue.GetTail(), &items[20]);
  for (int i = 17; i <= 20; ++i) EXPECT_EQ(queue.TakeUntilGot(), &items[i]);
  EXPECT_TRUE(queue.IsEmpty());
}

TEST(ArrayBlockQueue, ClearKeepsTheCountsExact) {
  int items[8];
  ArrayBlockQueue<int*> queue(4);
  queue.SetTimeout(50);
  for (int i = 0; i < 3; ++i) queue.Put(&items[i]);
  queue.Clear();
  EXPECT_TRUE(queue.IsEmpty());
  EXPECT_EQ(queue.GetLength(), 0);
  // Exactly three slots are free again, and no phantom item can be taken.
  for (int i = 3; i < 6; ++i) queue.Put(&items[i]);
  EXPECT_EQ(BlockQueueFailure([&] { queue.Put(&items[6]); }), "Wait for Semaphore Timeout。");
  for (int i = 3; i < 6; ++i) EXPECT_EQ(queue.Take(), &items[i]);
  EXPECT_EQ(BlockQueueFailure([&] { queue.Take(); }), "Wait for semaphore timeout。");
}

TEST(ArrayBlockQueue, DestroyingAQueueLeavesItsItemsAlive) {
  auto item = std::make_unique<std::string>("still here");
  {
    ArrayBlockQueue<std::string*> queue(3);
    queue.Put(item.get());
  }
  EXPECT_EQ(*item, "still here");
}

TEST(ArrayBlockQueueConcurrency, ManyProducersAndConsumersDeliverEachItemOnce) {
  const int producers = 4, consumers = 4, perProducer = 5000;
  const int total = producers * perProducer;
  std::vector<int> values(total);
  std::vector<std::atomic<int>> seen(total);
  ArrayBlockQueue<int*> queue(8);
  std::atomic<int> taken{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < perProducer; ++i) {
        int index = p * perProducer + i;
        values[index] = index;
        queue.Put(&values[index]);
      }
    });
  }
  for (int c = 0; c < consumers; ++c) {
    threads.emplace_back([&] {
      while (taken.fetch_add(1) < total) {
        int* value = queue.TakeUntilGot();
        seen[*value].fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < total; ++i) ASSERT_EQ(seen[i].load(), 1) << i;
  EXPECT_TRUE(queue.IsEmpty());
}

TEST(ArrayBlockQueueConcurrency, BlockedPutProceedsWhenAConsumerTakes) {
  int a = 1, b = 2;
  ArrayBlockQueue<int*> queue(2);
  queue.Put(&a);
  std::thread producer([&] { queue.Put(&b); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(queue.Take(), &a);
  producer.join();
  EXPECT_EQ(queue.Take(), &b);
}
