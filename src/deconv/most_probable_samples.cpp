#include "deconv/most_probable_samples.h"

#include <algorithm>

namespace histonorm {

MostProbableSamples::MostProbableSamples(std::size_t n) : capacity_(n) { heap_.reserve(n); }

bool MostProbableSamples::RanksBefore(const Entry& a, const Entry& b) {
  if (a.sample.probability != b.sample.probability) return a.sample.probability > b.sample.probability;
  return a.order < b.order;
}

void MostProbableSamples::Offer(const ColourSample& sample) {
  const Entry entry{sample, offered_++};
  if (heap_.size() < capacity_) {
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), RanksBefore);
    return;
  }
  // A later sample of equal probability never displaces an earlier one.
  if (capacity_ == 0 || !(sample.probability > heap_.front().sample.probability)) return;
  std::pop_heap(heap_.begin(), heap_.end(), RanksBefore);
  heap_.back() = entry;
  std::push_heap(heap_.begin(), heap_.end(), RanksBefore);
}

std::vector<ColourSample> MostProbableSamples::Samples() const {
  std::vector<ColourSample> samples;
  samples.reserve(heap_.size());
  for (const Entry& e : heap_) samples.push_back(e.sample);
  return samples;
}

}  // namespace histonorm
