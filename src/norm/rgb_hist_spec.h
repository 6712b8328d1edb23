#pragma once
// RGB histogram matching: one 256-entry lookup table per colour channel sends each source
// level to the target level with the nearest cumulative histogram value.
//
// The three cumulative tables of an image are cut from one running single-precision sum that
// interleaves the channels level by level (blue, green, red at each level), so in the plain
// variant each table rises to about 3. The threshold variant counts only which levels occur.
// CalcStats accumulates target counts over all target images; Norm changes nothing. Neither
// logs anything.
#include <array>
#include <cstdint>
#include <memory>

#include "histonorm/norm_base.h"

namespace histonorm {

// Counts are 64-bit: a mean target of many images can exceed 2^32 pixels.
using LevelCounts = std::array<std::array<std::uint64_t, 256>, 3>;  // [blue, green, red][level]
using CumulativeTables = std::array<std::array<float, 256>, 3>;     // [blue, green, red][level]
using LookupTables = std::array<std::array<std::uint8_t, 256>, 3>;

// What a level adds to the cumulative tables: its share of the pixels (RGBHistSpec), or 1 when
// any pixel has it (RGBHistSpecThresh).
enum class HistSpecVariant { kShares, kPresence };

// Adds the level counts of every pixel of an 8-bit image stored in `order` to the blue, green, red
// counts, counted by up to `threads` threads (0 = all cores; whole-number counts come out the same
// for every split).
void CountLevels(const cv::Mat& image, LevelCounts& counts, unsigned threads = 1,
                 ChannelOrder order = ChannelOrder::kBgr);
// Normalised histograms (or presence values in the threshold variant) summed into the shared
// running sum, in the order blue, green, red at each level.
[[nodiscard]] CumulativeTables CumulativeFromCounts(const LevelCounts& counts, std::uint64_t pixelCount,
                                                    HistSpecVariant variant);
// For every source level, the lowest target level at the smallest cumulative distance.
[[nodiscard]] LookupTables MatchCumulative(const CumulativeTables& source, const CumulativeTables& target);
// Mends the tables of channels that hold a single level, where cumulative matching means nothing
// (the interleaved running sum then places the channel's one step by the other channels): a target
// channel of one level receives every source level; otherwise a source channel of one level keeps it.
void PinSingleLevelChannels(const LevelCounts& source, const LevelCounts& target, LookupTables& lut);
// Writes every pixel of `input` through the tables into `output` (of the input's size), its rows
// split over `threads` (0 = all cores).
void ApplyLookupTables(const LookupTables& lut, const cv::Mat& input, cv::Mat& output, unsigned threads);

class CNormRGBHistSpec final : public CNormBase {
 public:
  // Each call uses up to `threads` threads (0 = all cores).
  explicit CNormRGBHistSpec(HistSpecVariant variant, unsigned threads = 1)
      : variant_(variant), threads_(threads) {}

  [[nodiscard]] const CumulativeTables& TargetCumulative() const { return targetCumulative_; }

 private:
  // Red-green-blue pixels are counted and mapped in place, through the channels' tables reversed.
  void MeasureTarget(const cv::Mat& image, ChannelOrder order) override;
  void Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                 const CallSinks& sinks) const override;
  [[nodiscard]] std::unique_ptr<const FittedTransform> FitSource(const cv::Mat& source,
                                                                 const CallSinks& sinks) const override;
  [[nodiscard]] bool TargetReady() const override { return targetPixelCount_ > 0; }
  [[nodiscard]] std::unique_ptr<CNormBase> CopyOf() const override {
    return std::unique_ptr<CNormBase>(new CNormRGBHistSpec(*this));
  }
  // The tables (blue, green, red) that send the levels of `input`, stored in `order`, onto the target's.
  [[nodiscard]] LookupTables SourceTables(const cv::Mat& input, ChannelOrder order) const;
  // The target's level counts and pixel count.
  void ExportTarget(detail::TargetRecord& record) const override;
  void ImportTarget(const detail::TargetRecord& record) override;
  [[nodiscard]] const char* MethodName() const;

  LevelCounts targetCounts_{};
  CumulativeTables targetCumulative_{};
  std::uint64_t targetPixelCount_ = 0;
  HistSpecVariant variant_;
  unsigned threads_;
};

}  // namespace histonorm
