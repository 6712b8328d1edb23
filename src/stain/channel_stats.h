#pragma once
// Per-class statistics of stain channels 0 and 1 of one image, or of several images pooled.
//
// Every counted pixel of a stain channel falls into one of three classes: A (background: background
// probability above the background threshold), B (stain: otherwise, probability of that channel's
// stain above the foreground threshold) or O (every other pixel). Each class is histogrammed in 501
// bins of channel value (bin = value + 0.5, truncated, at most 500). ChannelHistograms gathers the
// counts and can be pooled over images with +=; ComputeChannelStats trims each class histogram to
// the bins whose cumulative share lies in [0.05, 0.95] and reduces them to mean, standard deviation
// and range, logging its diagnostic lines.
//
// A class without kept bins has a mean and range ends that are not a number; callers must not feed
// such values into arithmetic that indexes arrays.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>

#include "common/pixel_planes.h"
#include "histonorm/log_sink.h"
#include "histonorm/stain_params.h"
#include "stain/colour_table.h"

namespace histonorm {

// Class order of the histograms: stained (called B in the console lines and saved targets), background
// (A), other (O).
enum StainClass : int { kStainedClass = 0, kBackgroundClass = 1, kOtherClass = 2 };

// Statistics of one stain channel.
struct ChannelClassStats {
  double meanStained = 0.0, meanBackground = 0.0, meanOther = 0.0;
  double sdStained = 0.0, sdBackground = 0.0, sdOther = 0.0;
  float lowStained = -1.0f, highStained = -1.0f;
  float lowBackground = -1.0f, highBackground = -1.0f;
  float lowOther = -1.0f, highOther = -1.0f;
};

// Statistics of stain channels 0 and 1 (entry 2 is never filled).
struct ChannelStats {
  std::array<ChannelClassStats, 3> channel{};
};

class ChannelHistograms {
 public:
  static constexpr int kBins = 501;
  using Histogram = std::array<std::uint64_t, kBins>;

  // Bin of a channel value: value + 0.5 in double, truncated, limited to [0, 500].
  // Requires a value that is a number.
  static int BinOf(float value);

  // Adds the pixels of one image; of the thresholds, the black, white, background and foreground
  // ones place the pixels (a pixel with two channels below the black threshold is skipped, a value above
  // the white one is left out of its channel's histograms). Requires an 8-bit 3-channel BGR image (any row
  // stride), stain channel planes and probability planes of its width and height; throws
  // std::invalid_argument otherwise. A channel value that is not a number is left out of that channel's
  // histograms.
  void Accumulate(const cv::Mat& image, const StainChannelPlanes& channels,
                  const ClassProbabilityPlanes& probs, const StainParams& thresholds);

  // The same, with the stain channel values and the class probabilities given once per distinct
  // colour of the image (table.Size() values per plane, in the order of table.Colours()): as
  // everything that places a pixel depends on its colour alone, each colour adds its pixel count.
  // The colours are split among `threads` (0 = all cores); the counts are the same for any split.
  void AccumulateByColour(const ColourTable& table, const StainChannelPlanes& colourValues,
                          const ClassProbabilityPlanes& colourProbs, const StainParams& thresholds,
                          unsigned threads = 1);

  ChannelHistograms& operator+=(const ChannelHistograms& other);

  // Counts of stain channel `channel` (0 or 1), class `cls`.
  const Histogram& Counts(int channel, StainClass cls) const { return counts_[channel][cls]; }
  Histogram& Counts(int channel, StainClass cls) { return counts_[channel][cls]; }

 private:
  // Adds every pixel; valuesAt(px, i) gives the three channel values of the pixel whose bytes start
  // at px and whose dense index is i.
  template <typename ValuesAt>
  void AccumulatePixels(const cv::Mat& image, const ClassProbabilityPlanes& probs, const StainParams& t,
                        ValuesAt valuesAt);
  // Adds n pixels of colour bgr (bytes blue, green, red) with stain channel values v and class
  // probabilities probs.
  void AddPixels(const std::uint8_t* bgr, const std::array<float, 3>& v, const std::array<float, 3>& probs,
                 const StainParams& t, std::uint64_t n);

  std::array<std::array<Histogram, 3>, 2> counts_{};
};

// Trims, reduces and logs the statistics of channels 0 and 1 ("Channel ", "Range ", "-ve SD?? "
// lines). The histograms themselves are left untouched.
[[nodiscard]] ChannelStats ComputeChannelStats(const ChannelHistograms& histograms, const LogSink& log = {});

// Logs the two lines of one channel's statistics, each starting with `label` (for example
// "Image Channel("): label + channel + ") meanb=..., meana=..., meano=..." and the same with sdb, sda, sdo.
void LogChannelStatsLines(const LogSink& log, const char* label, int channel, const ChannelClassStats& stats);

// The statistics of one image: Accumulate into fresh histograms, then ComputeChannelStats.
[[nodiscard]] ChannelStats CalcChannelStats(const cv::Mat& image, const StainChannelPlanes& channels,
                                            const ClassProbabilityPlanes& probs,
                                            const StainParams& thresholds, const LogSink& log = {});

}  // namespace histonorm
