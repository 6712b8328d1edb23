#include "deconv/stain_samples.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/log_line.h"
#include "common/parallel_for.h"
#include "deconv/most_probable_samples.h"

namespace histonorm {
namespace {

// The selection always keeps at least this many samples of a class (positions 0 to 200).
constexpr std::size_t kMinimumSelection = 201;
// Probabilities must exceed this (in double) for a pixel to become a candidate.
constexpr double kCandidateProbability = 0.01;
// Pixels per block of a scan in pixel order.
constexpr std::size_t kScanBlock = std::size_t{1} << 17;

bool IsCandidate(float p) { return static_cast<double>(p) > kCandidateProbability; }

void RequireMatchingPlanes(const cv::Mat& image, const ClassProbabilityPlanes& probs) {
  if (image.type() != CV_8UC3) {
    throw std::invalid_argument("stain sample collection needs an 8-bit 3-channel image");
  }
  if (probs.width != image.cols || probs.height != image.rows ||
      probs.plane[0].size() != probs.PixelCount() || probs.plane[1].size() != probs.PixelCount()) {
    throw std::invalid_argument("probability planes of " + std::to_string(probs.width) + " x " +
                                std::to_string(probs.height) + " do not match an image of " +
                                std::to_string(image.cols) + " x " + std::to_string(image.rows));
  }
}

std::size_t SelectionCount(std::size_t candidates, std::size_t atOrAbove) {
  return std::max(atOrAbove, std::min(kMinimumSelection, candidates));
}

void AddColour(std::array<double, 3>& sum, std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  sum[0] += red;
  sum[1] += green;
  sum[2] += blue;
}

// Candidates and candidates at or above the threshold of one class.
struct ClassCounts {
  std::size_t candidates = 0;
  std::size_t atOrAbove = 0;
};

// The loops below are branch-free: probabilities of real images change from pixel to pixel often
// enough for mispredicted branches to dominate.
ClassCounts CountClass(const float* p, std::size_t n, float probThreshold) {
  ClassCounts counts;
  for (std::size_t i = 0; i < n; ++i) {
    const bool candidate = IsCandidate(p[i]);
    counts.candidates += candidate;
    counts.atOrAbove += candidate & (p[i] >= probThreshold);
  }
  return counts;
}

// Sums the colours of the candidates of one class at or above the threshold, straight from the
// image: the whole selection when the 201-sample minimum does not come into play. Integer sums
// are exact.
std::array<double, 3> SumAtOrAbove(const cv::Mat& image, const float* p, float probThreshold) {
  std::array<std::uint64_t, 3> sum{};
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    const float* row = p + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.cols);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      const std::uint64_t mask = std::uint64_t{0} - (IsCandidate(row[x]) & (row[x] >= probThreshold));
      sum[0] += px[2] & mask;
      sum[1] += px[1] & mask;
      sum[2] += px[0] & mask;
    }
  }
  return {static_cast<double>(sum[0]), static_cast<double>(sum[1]), static_cast<double>(sum[2])};
}

// Sums the colours of the n most probable candidates of one class: the selection when the
// 201-sample minimum reaches below the threshold.
std::array<double, 3> SumMostProbable(const cv::Mat& image, const float* p, std::size_t n) {
  MostProbableSamples top(n);
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    const float* row = p + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.cols);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      if (IsCandidate(row[x])) top.Offer({px[2], px[1], px[0], row[x]});
    }
  }
  std::array<double, 3> sum{};
  for (const ColourSample& s : top.Samples()) AddColour(sum, s.red, s.green, s.blue);
  return sum;
}

// The colour bytes (red, green, blue) of a colour key, as a sum of `n` pixels of that colour.
void AddColourTimes(std::array<std::uint64_t, 3>& sum, std::uint32_t key, std::uint64_t n) {
  sum[0] += n * KeyByte(key, 2);
  sum[1] += n * KeyByte(key, 1);
  sum[2] += n * KeyByte(key, 0);
}

std::array<double, 3> AsDouble(const std::array<std::uint64_t, 3>& sum) {
  return {static_cast<double>(sum[0]), static_cast<double>(sum[1]), static_cast<double>(sum[2])};
}

// Adds the colours of the earliest `left` pixels (in pixel order) whose colour c has atCut[c] set.
// The pixels go in waves of one block per thread: each block counts and sums its pixels of those
// colours (integer sums, exact whatever the split), whole blocks are taken in order while they fit,
// and the block that does not fit is walked pixel by pixel.
void AddEarliestPixels(const ImageColours& colours, const std::vector<std::uint8_t>& atCut, std::size_t left,
                       unsigned threads, std::array<std::uint64_t, 3>& sum) {
  const auto& pixels = colours.PixelIndices();
  const auto& keys = colours.Keys();
  const std::size_t wave = ResolveThreadCount(threads);
  std::vector<std::size_t> blockCount(wave);
  std::vector<std::array<std::uint64_t, 3>> blockSum(wave);
  for (std::size_t start = 0; start < pixels.size() && left > 0; start += wave * kScanBlock) {
    const auto blockBegin = [&](std::size_t b) { return std::min(pixels.size(), start + b * kScanBlock); };
    ParallelFor(wave, threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t b = begin; b < end; ++b) {
        blockCount[b] = 0;
        blockSum[b] = {};
        for (std::size_t i = blockBegin(b); i < blockBegin(b + 1); ++i) {
          if (atCut[pixels[i]] == 0) continue;
          ++blockCount[b];
          AddColourTimes(blockSum[b], keys[pixels[i]], 1);
        }
      }
    });
    for (std::size_t b = 0; b < wave && left > 0; ++b) {
      if (blockCount[b] <= left) {
        for (std::size_t k = 0; k < 3; ++k) sum[k] += blockSum[b][k];
        left -= blockCount[b];
        continue;
      }
      for (std::size_t i = blockBegin(b); left > 0; ++i) {
        if (atCut[pixels[i]] == 0) continue;
        AddColourTimes(sum, keys[pixels[i]], 1);
        --left;
      }
    }
  }
}

// SumMostProbable for probabilities per colour: every pixel of a colour shares its probability, so
// the n most probable pixels are all pixels of the colours above some probability, and then the
// earliest pixels (in pixel order) of the colours at exactly that probability.
std::array<double, 3> SumMostProbableColours(const ImageColours& colours, const float* p, std::size_t n,
                                             unsigned threads) {
  const auto& keys = colours.Keys();
  const auto& counts = colours.Counts();
  std::vector<std::uint32_t> order;
  for (std::uint32_t c = 0; c < keys.size(); ++c) {
    if (IsCandidate(p[c])) order.push_back(c);
  }
  // At most n colours are needed, as each holds at least one pixel. Colours of the lowest ranked
  // probability may lie beyond them, so that probability is always taken in pixel order.
  const std::size_t ranked = std::min(n, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<long>(ranked), order.end(),
                    [p](std::uint32_t a, std::uint32_t b) { return p[a] > p[b]; });
  const float lowest = p[order[ranked - 1]];
  std::array<std::uint64_t, 3> sum{};
  std::size_t left = n;
  std::size_t i = 0;
  while (left > 0 && p[order[i]] != lowest) {
    std::size_t end = i;
    std::uint64_t total = 0;
    for (; p[order[end]] == p[order[i]]; ++end) total += counts[order[end]];
    if (total > left) break;
    for (; i < end; ++i) AddColourTimes(sum, keys[order[i]], counts[order[i]]);
    left -= total;
  }
  const float cut = p[order[i]];
  std::vector<std::uint8_t> atCut(keys.size());
  std::size_t cutColours = 0;
  std::uint64_t cutPixels = 0;
  std::array<std::uint64_t, 3> cutSum{};
  for (std::size_t c = 0; c < keys.size(); ++c) {
    atCut[c] = p[c] == cut ? 1 : 0;
    if (atCut[c] == 0) continue;
    ++cutColours;
    cutPixels += counts[c];
    AddColourTimes(cutSum, keys[c], counts[c]);
  }
  // The colours at that probability hold at least `left` pixels. When they hold exactly that many,
  // all are taken; a single colour's earliest pixels are all alike; otherwise pixel order decides.
  if (cutPixels == left) {
    for (std::size_t b = 0; b < 3; ++b) sum[b] += cutSum[b];
  } else if (cutColours == 1) {
    for (std::size_t c = 0; c < keys.size(); ++c) {
      if (atCut[c] != 0) AddColourTimes(sum, keys[c], left);
    }
  } else {
    AddEarliestPixels(colours, atCut, left, threads, sum);
  }
  return AsDouble(sum);
}

// Pixels of one class that are candidates, at or above the threshold, and the sum of the colours of
// the latter, counted per distinct colour.
struct ColourCounts {
  std::size_t candidates = 0;
  std::size_t atOrAbove = 0;
  std::array<std::uint64_t, 3> atOrAboveSum{};

  ColourCounts& operator+=(const ColourCounts& other) {
    candidates += other.candidates;
    atOrAbove += other.atOrAbove;
    for (std::size_t b = 0; b < 3; ++b) atOrAboveSum[b] += other.atOrAboveSum[b];
    return *this;
  }
};

// Colours per range of CountColours.
constexpr std::size_t kMinColoursPerChunk = std::size_t{1} << 13;

// Ranges of colours are counted on `threads` (integer sums: exact in any order). Branch-free, like
// CountClass.
ColourCounts CountColours(const ImageColours& colours, const float* p, float probThreshold,
                          unsigned threads) {
  return ParallelAccumulate<ColourCounts>(
      colours.Keys().size(), threads,
      [&](std::size_t begin, std::size_t end, ColourCounts& sum) {
        for (std::size_t c = begin; c < end; ++c) {
          const bool candidate = IsCandidate(p[c]);
          const std::uint64_t pixels = colours.Counts()[c];
          const std::uint64_t taken = pixels * (candidate & (p[c] >= probThreshold));
          sum.candidates += pixels * candidate;
          sum.atOrAbove += taken;
          AddColourTimes(sum.atOrAboveSum, colours.Keys()[c], taken);
        }
      },
      kMinColoursPerChunk);
}

}  // namespace

StainSampleSums CollectStainSamples(const ImageColours& colours, const ClassProbabilityPlanes& colourProbs,
                                    float probThreshold, const LogSink& log, unsigned threads) {
  const std::size_t n = colours.Keys().size();
  if (!colours.Indexed() || colourProbs.PixelCount() != n || colourProbs.plane[1].size() != n) {
    throw std::invalid_argument("per-colour probabilities do not match the colour index");
  }
  StainSampleSums sums;
  for (std::size_t k = 0; k < 2; ++k) {
    const ColourCounts counts = CountColours(colours, colourProbs[k], probThreshold, threads);
    sums.candidates[k] = counts.candidates;
    sums.count[k] = counts.atOrAbove;
    const std::array<std::uint64_t, 3>& atOrAboveSum = counts.atOrAboveSum;
    const float* p = colourProbs[k];
    const std::size_t selected = SelectionCount(sums.candidates[k], sums.count[k]);
    if (selected == sums.count[k]) {
      sums.colourSum[k] = AsDouble(atOrAboveSum);
    } else {
      sums.count[k] = selected;
      sums.colourSum[k] = SumMostProbableColours(colours, p, selected, threads);
    }
  }
  LogLine(log, "#samples used = ", sums.candidates[0], ",", sums.candidates[1], ",", 0);
  return sums;
}

StainSampleSums& StainSampleSums::operator+=(const StainSampleSums& other) {
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t i = 0; i < 3; ++i) colourSum[k][i] += other.colourSum[k][i];
    count[k] += other.count[k];
    candidates[k] += other.candidates[k];
  }
  return *this;
}

std::vector<std::size_t> SelectedSamples(const ClassProbabilityPlanes& probs, std::size_t stain,
                                         float probThreshold) {
  const float* p = probs[stain];
  const ClassCounts counts = CountClass(p, probs.PixelCount(), probThreshold);
  std::vector<std::size_t> candidates;
  candidates.reserve(counts.candidates);
  for (std::size_t i = 0; i < probs.PixelCount(); ++i) {
    if (IsCandidate(p[i])) candidates.push_back(i);
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [p](std::size_t a, std::size_t b) { return p[a] > p[b]; });
  candidates.resize(SelectionCount(counts.candidates, counts.atOrAbove));
  return candidates;
}

StainSampleSums CollectStainSamples(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                    float probThreshold, const LogSink& log) {
  RequireMatchingPlanes(image, probs);
  StainSampleSums sums;
  for (std::size_t k = 0; k < 2; ++k) {
    const ClassCounts counts = CountClass(probs[k], probs.PixelCount(), probThreshold);
    sums.candidates[k] = counts.candidates;
    sums.count[k] = SelectionCount(counts.candidates, counts.atOrAbove);
    if (sums.count[k] == counts.atOrAbove) {
      sums.colourSum[k] = SumAtOrAbove(image, probs[k], probThreshold);
    } else {
      sums.colourSum[k] = SumMostProbable(image, probs[k], sums.count[k]);
    }
  }
  LogLine(log, "#samples used = ", sums.candidates[0], ",", sums.candidates[1], ",", 0);
  return sums;
}

}  // namespace histonorm
