#include "common/parallel_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
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
  std::atomic<int> finished = 0;
  auto body = [&](std::size_t begin, std::size_t) {
    ++finished;
    if (begin == 0) throw std::runtime_error("first chunk failed");
  };
  EXPECT_THROW(ParallelFor(100, GetParam(), body), std::runtime_error);
  EXPECT_EQ(finished.load(), static_cast<int>(std::min(100U, ResolveThreadCount(GetParam()))));
}

INSTANTIATE_TEST_SUITE_P(Threads, ParallelForTest, ::testing::Values(0U, 1U, 2U, 5U));

}  // namespace
}  // namespace histonorm
