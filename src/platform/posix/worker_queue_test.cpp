#include "platform/posix/worker_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace zolven::platform {
namespace {

using namespace std::chrono_literals;

TEST(WorkerQueue, RunsItemsInOrderOnOneThreadOtherThanTheCaller) {
  std::vector<int> seen;
  std::vector<std::thread::id> threads;
  std::promise<void> done;
  {
    WorkerQueue queue("test");
    for (int i = 0; i < 100; ++i)
      queue.async([&, i] {
        seen.push_back(i);
        threads.push_back(std::this_thread::get_id());
        if (i == 99) done.set_value();
      });
    ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
  }
  ASSERT_EQ(seen.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  for (const auto& id : threads) {
    EXPECT_EQ(id, threads.front());
    EXPECT_NE(id, std::this_thread::get_id());
  }
}

TEST(WorkerQueue, DestroyedWithWorkQueuedFinishesTheItemInProgressAndDropsTheRest) {
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> firstFinished{false};
  std::atomic<int> laterRan{0};
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watch = held;
  std::thread releaser;
  {
    WorkerQueue queue("test");
    queue.async([&] {
      started.set_value();
      released.wait();
      firstFinished = true;
    });
    for (int i = 0; i < 10; ++i) queue.async([&, held] { ++laterRan; });
    held.reset();
    ASSERT_EQ(started.get_future().wait_for(20s), std::future_status::ready);
    // The running item is let go only once the destructor has begun: it drops the items
    // that had not started (and with them the last hold on `held`) before it waits.
    releaser = std::thread([&] {
      const auto until = std::chrono::steady_clock::now() + 20s;
      while (!watch.expired() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
      release.set_value();
    });
  }
  releaser.join();
  EXPECT_TRUE(firstFinished) << "the destructor returned while an item still ran";
  EXPECT_EQ(laterRan, 0) << "items that had not started ran after all";
  EXPECT_TRUE(watch.expired()) << "a dropped item still holds what it captured";
}

TEST(WorkerQueue, ItemsQueuedFromManyThreadsAllRun) {
  std::atomic<int> ran{0};
  {
    WorkerQueue queue("test");
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
      producers.emplace_back([&] {
        for (int i = 0; i < 250; ++i) queue.async([&] { ++ran; });
      });
    for (auto& producer : producers) producer.join();
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (ran < 1000 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(ran, 1000);
}

}  // namespace
}  // namespace zolven::platform
