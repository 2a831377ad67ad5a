#include "runtime/output_flow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using namespace zolven;

namespace {

using runtime::OutputFlow;

TEST(OutputFlow, ReaderWaitsAtTheLimitUntilAPermitIsGivenBack) {
  auto flow = std::make_shared<OutputFlow>(2);
  std::vector<std::shared_ptr<void>> queued{flow->acquire(), flow->acquire()};
  EXPECT_EQ(flow->inFlight(), 2u);

  std::atomic<size_t> seenByReader{0};
  std::thread reader([&] {
    auto permit = flow->acquire();
    seenByReader = flow->inFlight();
  });
  // Whenever the reader gets past acquire(), it must find no more than the limit out:
  // it can only do so once one of the two permits is released here.
  queued.erase(queued.begin());
  reader.join();
  EXPECT_LE(seenByReader.load(), 2u);
  EXPECT_EQ(flow->inFlight(), 1u);
}

TEST(OutputFlow, ManyReadersNeverExceedTheLimit) {
  auto flow = std::make_shared<OutputFlow>(3);
  std::atomic<size_t> most{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      for (int k = 0; k < 500; ++k) {
        auto permit = flow->acquire();
        size_t now = flow->inFlight();
        size_t seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_LE(most.load(), 3u);
  EXPECT_GE(most.load(), 1u);
  EXPECT_EQ(flow->inFlight(), 0u);
}

TEST(OutputFlow, ADroppedWorkItemGivesItsPermitBack) {
  auto flow = std::make_shared<OutputFlow>(1);
  {
    // A work item that is destroyed without ever running, as when its queue goes away.
    std::function<void()> item = [permit = flow->acquire()] {};
    std::function<void()> copy = item;
    EXPECT_EQ(flow->inFlight(), 1u);
  }
  EXPECT_EQ(flow->inFlight(), 0u);
  auto permit = flow->acquire();  // would wait for ever if the slot had leaked
  EXPECT_EQ(flow->inFlight(), 1u);
}

TEST(OutputFlow, PermitOutlivesTheFlowsOwner) {
  auto flow = std::make_shared<OutputFlow>(1);
  std::shared_ptr<void> permit = flow->acquire();
  std::weak_ptr<OutputFlow> weak = flow;
  flow.reset();
  EXPECT_FALSE(weak.expired());
  permit.reset();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
