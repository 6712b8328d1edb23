#pragma once
// A test parameterised over the processor targets of the wide passes: each run selects one target that
// this machine runs and the library was built for, so that every target's code is checked here, not only
// the widest.
//
//   using LookUpOnEveryTarget = test::EveryTarget;
//   TEST_P(LookUpOnEveryTarget, MatchesThePlainLoop) { ... }
//   INSTANTIATE_EVERY_TARGET(LookUpOnEveryTarget);
#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstdint>
#include <string>

namespace histonorm::test {

class EveryTarget : public testing::TestWithParam<std::int64_t> {
 protected:
  void SetUp() override { hwy::SetSupportedTargetsForTest(GetParam()); }
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

inline std::string TargetTestName(const testing::TestParamInfo<std::int64_t>& info) {
  return hwy::TargetName(info.param);
}

}  // namespace histonorm::test

#define INSTANTIATE_EVERY_TARGET(Suite)                                                            \
  INSTANTIATE_TEST_SUITE_P(Targets, Suite, testing::ValuesIn(hwy::SupportedAndGeneratedTargets()), \
                           histonorm::test::TargetTestName)
