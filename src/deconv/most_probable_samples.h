#pragma once
// The n most probable of a stream of colour samples, keeping the earliest of equal probabilities.
//
// Requires the samples to be offered in their list order. Ensures that after any number of
// Offer() calls Samples() holds the min(n, offered) samples a stable sort by probability, highest
// first, would put in front (in no particular order). Costs O(log n) per sample that enters.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "deconv/colour_sample.h"

namespace histonorm {

class MostProbableSamples {
 public:
  explicit MostProbableSamples(std::size_t n);

  void Offer(const ColourSample& sample);
  std::vector<ColourSample> Samples() const;

 private:
  struct Entry {
    ColourSample sample;
    std::uint64_t order;  // position in the offered stream
  };
  // True when a ranks before b: more probable, or equally probable and offered earlier.
  static bool RanksBefore(const Entry& a, const Entry& b);

  std::size_t capacity_;
  std::uint64_t offered_ = 0;
  std::vector<Entry> heap_;  // the lowest-ranked kept entry on top
};

}  // namespace histonorm
