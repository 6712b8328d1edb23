#pragma once
// RGB histogram matching: one 256-entry lookup table per colour channel sends each source
// level to the target level with the nearest cumulative histogram value.
//
// The three cumulative tables of an image are cut from one running single-precision sum that
// interleaves the channels level by level (blue, green, red at each level), so in the plain
// variant each table rises to about 3. The threshold variant counts only which levels occur.
// CalcStats accumulates target counts over all target images; Norm changes no member and
// prints nothing.
#include <array>
#include <cstdint>

#include "norm/norm_base.h"

namespace histonorm {

using LevelCounts = std::array<std::array<std::uint32_t, 256>, 3>;  // [blue, green, red][level]
using CumulativeTables = std::array<std::array<float, 256>, 3>;     // [blue, green, red][level]
using LookupTables = std::array<std::array<std::uint8_t, 256>, 3>;

// Adds the level counts of every pixel of an 8-bit BGR image.
void CountLevels(const cv::Mat& image, LevelCounts& counts);
// Normalised histograms (or presence values in the threshold variant) summed into the shared
// running sum, in the order blue, green, red at each level.
CumulativeTables CumulativeFromCounts(const LevelCounts& counts, std::uint32_t pixelCount, bool threshold);
// For every source level, the lowest target level at the smallest cumulative distance.
LookupTables MatchCumulative(const CumulativeTables& source, const CumulativeTables& target);

class CNormRGBHistSpec final : public CNormBase {
 public:
  explicit CNormRGBHistSpec(bool thresholdVariant) : threshold_(thresholdVariant) {}

  void CalcStats(const cv::Mat& image) override;
  void Norm(const cv::Mat& input, cv::Mat& output) override;

  const CumulativeTables& TargetCumulative() const { return targetCumulative_; }

 private:
  LevelCounts targetCounts_{};
  CumulativeTables targetCumulative_{};
  std::uint32_t targetPixelCount_ = 0;
  bool threshold_;
};

}  // namespace histonorm
