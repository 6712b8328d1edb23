#include "common/packed_lookup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/every_target.h"

namespace histonorm {
namespace {

// Lengths around the vectors of the wide pass on every target, out of place and in place: each pixel
// gets its entry's three low bytes, and nothing past the last pixel is written.
using LookUpPackedOnEveryTarget = test::EveryTarget;
TEST_P(LookUpPackedOnEveryTarget, WritesEachIndexedEntry) {
  std::vector<std::uint32_t> table(70000);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint32_t>(i * 2654435761U);
  for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{16}, std::size_t{17},
                              std::size_t{63}, std::size_t{64}, std::size_t{161}}) {
    std::vector<std::uint8_t> indices(3 * n + 64, 0xAB);
    std::vector<std::uint8_t> expected(indices.size(), 0xCD);
    for (std::size_t x = 0; x < n; ++x) {
      const std::uint32_t index = static_cast<std::uint32_t>((x * 40503U) % table.size());
      for (std::size_t b = 0; b < 3; ++b) {
        indices[3 * x + b] = static_cast<std::uint8_t>(index >> (8 * b));
        expected[3 * x + b] = static_cast<std::uint8_t>(table[index] >> (8 * b));
      }
    }
    for (const bool wide : {false, true}) {
      std::vector<std::uint8_t> out(indices.size(), 0xCD);
      LookUpPacked(indices.data(), n, table.data(), out.data(), wide);
      EXPECT_EQ(out, expected) << n << " " << wide;
      std::vector<std::uint8_t> inPlace = indices;
      LookUpPacked(inPlace.data(), n, table.data(), inPlace.data(), wide);
      std::copy(indices.begin() + static_cast<std::ptrdiff_t>(3 * n), indices.end(),
                expected.begin() + static_cast<std::ptrdiff_t>(3 * n));
      EXPECT_EQ(inPlace, expected) << n << " " << wide;
      std::fill(expected.begin() + static_cast<std::ptrdiff_t>(3 * n), expected.end(), 0xCD);
    }
  }
}

INSTANTIATE_EVERY_TARGET(LookUpPackedOnEveryTarget);

}  // namespace
}  // namespace histonorm
