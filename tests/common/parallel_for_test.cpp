#include "common/parallel_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace histonorm {
namespace {

class ParallelForTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(ParallelForTest, EveryItemIsHandledExactlyOnce) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
    std::vector<std::atomic<int>> seen(count);
    ParallelFor(count, GetParam(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) ++seen[i];
    });
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i].load(), 1) << "item " << i << " of " << count;
  }
}

TEST_P(ParallelForTest, AnExceptionReachesTheCallerAfterEveryChunkEnds) {
  std::atomic<int> started = 0;
  std::atomic<int> finished = 0;
  auto body = [&](std::size_t begin, std::size_t) {
    ++started;
    std::this_thread::sleep_for(std::chrono::milliseconds(begin == 0 ? 0 : 5));
    ++finished;
    if (begin == 0) throw std::runtime_error("first chunk failed");
  };
  EXPECT_THROW(ParallelFor(100, GetParam(), body), std::runtime_error);
  EXPECT_EQ(finished.load(), started.load());
}

// One item per thread: every item has a thread of its own, so items may wait for each other.
TEST_P(ParallelForTest, ItemsUpToTheThreadCountRunAtOnce) {
  const unsigned threads = ResolveThreadCount(GetParam());
  std::atomic<unsigned> arrived = 0;
  ParallelFor(threads, threads, [&](std::size_t begin, std::size_t end) {
    EXPECT_EQ(end, begin + 1);
    ++arrived;
    while (arrived.load() < threads) std::this_thread::yield();
  });
  EXPECT_EQ(arrived.load(), threads);
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelForTest, ::testing::Values(0U, 1U, 2U, 5U));

}  // namespace
}  // namespace histonorm
