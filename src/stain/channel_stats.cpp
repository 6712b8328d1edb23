#include "stain/channel_stats.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>

#include "common/log_line.h"
#include "common/parallel_for.h"

namespace histonorm {

namespace {

// Blue and green bytes both below this mark a pixel too dark to measure (independent of the
// black threshold, which applies to stain channel values).
constexpr std::uint8_t kDarkByte = 30;
// Colours per range of the per-colour histogram counts.
constexpr std::size_t kMinColoursPerChunk = std::size_t{1} << 13;

constexpr std::array<StainClass, 3> kPrintOrder = {kBackgroundClass, kStainedClass, kOtherClass};
constexpr std::array<const char*, 3> kLabel = {"B", "A", "O"};

void RequireMatchingPlanes(const cv::Mat& image, const PixelPlanes& planes, const char* what) {
  if (planes.width != image.cols || planes.height != image.rows ||
      planes.plane[2].size() != planes.PixelCount()) {
    throw std::invalid_argument(std::string("channel statistics: ") + what + " do not match the image size");
  }
}

// Trimmed reduction of one class histogram.
struct ClassSummary {
  double count = 0.0;
  double sum = 0.0;
  double sumSquares = 0.0;
  float low = -1.0f;
  float high = -1.0f;
  double mean = 0.0;
  double sd = 0.0;
};

using Cumulative = std::array<float, ChannelHistograms::kBins>;

Cumulative CumulativeCounts(const ChannelHistograms::Histogram& h) {
  Cumulative s{};
  s[0] = static_cast<float>(h[0]);
  for (int i = 1; i < ChannelHistograms::kBins; ++i) s[i] = s[i - 1] + static_cast<float>(h[i]);
  return s;
}

// Keeps the bins whose cumulative share lies within [0.05, 0.95] and sums them. A total of 0 gives
// shares that are not a number, which trim nothing (every bin is empty anyway).
void SumKeptBins(const ChannelHistograms::Histogram& h, const Cumulative& s, ClassSummary& out) {
  const float total = s[ChannelHistograms::kBins - 1];
  for (int i = 0; i < ChannelHistograms::kBins; ++i) {
    const double share = static_cast<double>(s[i] / total);
    const std::uint64_t kept = (share < 0.05 || share > 0.95) ? 0 : h[i];
    if (kept == 0) continue;
    if (out.low == -1.0f) out.low = static_cast<float>(i);
    out.high = static_cast<float>(i);
    const double n = static_cast<double>(kept);
    const double bin = static_cast<double>(i);
    out.count += n;
    out.sum += n * bin;
    out.sumSquares += n * (bin * bin);
  }
}

void Reduce(const char* label, ClassSummary& c, const LogSink& log) {
  c.mean = c.sum / c.count;
  const double variance = c.sumSquares / c.count - c.mean * c.mean;
  if (variance > 0.0) {
    c.sd = std::sqrt(variance);
  } else {
    c.sd = 0.0;
    LogLine(log, label, ": -ve SD?? ", c.count, ",", c.mean);
  }
}

void FillMissingRange(ClassSummary& c) {
  if (c.low == -1.0f) c.low = static_cast<float>(c.mean - c.sd);
  if (c.high == -1.0f) c.high = static_cast<float>(c.mean + c.sd);
}

float AtMost255(float v) { return v > 255.0f ? 255.0f : v; }

ChannelClassStats ChannelStatistics(int j, const ChannelHistograms& histograms, const LogSink& log) {
  std::array<Cumulative, 3> s{};
  for (int c = 0; c < 3; ++c) s[c] = CumulativeCounts(histograms.Counts(j, static_cast<StainClass>(c)));
  LogLine(log, "Channel ", j, " : ", s[kBackgroundClass].back(), ",", s[kStainedClass].back(), ",",
          s[kOtherClass].back());

  std::array<ClassSummary, 3> cls{};
  for (int c = 0; c < 3; ++c) SumKeptBins(histograms.Counts(j, static_cast<StainClass>(c)), s[c], cls[c]);
  for (const StainClass c : {kStainedClass, kBackgroundClass, kOtherClass}) {
    LogLine(log, "Range ", kLabel[c], " (", j, ")=[", cls[c].low, ",", cls[c].high, "]");
  }
  for (const StainClass c : kPrintOrder) Reduce(kLabel[c], cls[c], log);
  for (const StainClass c : {kStainedClass, kBackgroundClass, kOtherClass}) FillMissingRange(cls[c]);

  ChannelClassStats r;
  r.meanStained = cls[kStainedClass].mean;
  r.meanBackground = cls[kBackgroundClass].mean;
  r.meanOther = cls[kOtherClass].mean;
  r.sdStained = cls[kStainedClass].sd;
  r.sdBackground = cls[kBackgroundClass].sd;
  r.sdOther = cls[kOtherClass].sd;
  r.lowStained = AtMost255(cls[kStainedClass].low);
  r.highStained = AtMost255(cls[kStainedClass].high);
  r.lowBackground = AtMost255(cls[kBackgroundClass].low);
  r.highBackground = AtMost255(cls[kBackgroundClass].high);
  r.lowOther = AtMost255(cls[kOtherClass].low);
  r.highOther = AtMost255(cls[kOtherClass].high);
  return r;
}

}  // namespace

int ChannelHistograms::BinOf(float value) {
  const double shifted = static_cast<double>(value) + 0.5;
  if (shifted >= kBins - 1) return kBins - 1;
  if (shifted < 0.0) return 0;
  return static_cast<int>(shifted);
}

template <typename ValuesAt>
void ChannelHistograms::AccumulatePixels(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                         const StainParams& t, ValuesAt valuesAt) {
  const int width = image.cols;
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    const std::size_t rowStart = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = 0; x < width; ++x, px += 3) {
      const std::size_t i = rowStart + static_cast<std::size_t>(x);
      AddPixels(px, valuesAt(px, i), {probs[0][i], probs[1][i], probs[2][i]}, t, 1);
    }
  }
}

void ChannelHistograms::AddPixels(const std::uint8_t* bgr, const std::array<float, 3>& v,
                                  const std::array<float, 3>& probs, const StainParams& t, std::uint64_t n) {
  const int dark = (v[0] < t.blackThreshold) + (v[1] < t.blackThreshold) + (v[2] < t.blackThreshold);
  if (dark >= 2) return;
  if (bgr[0] < kDarkByte && bgr[1] < kDarkByte) return;
  const bool background = probs[2] > t.backgroundThreshold;
  for (int j = 0; j < 2; ++j) {
    if (std::isnan(v[j]) || v[j] > t.whiteThreshold) continue;
    const StainClass cls =
        background ? kBackgroundClass : (probs[j] > t.foregroundThreshold ? kStainedClass : kOtherClass);
    counts_[j][cls][BinOf(v[j])] += n;
  }
}

void ChannelHistograms::Accumulate(const cv::Mat& image, const StainChannelPlanes& channels,
                                   const ClassProbabilityPlanes& probs, const StainParams& t) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("channel statistics: image is not 8-bit BGR");
  RequireMatchingPlanes(image, channels, "stain channel planes");
  RequireMatchingPlanes(image, probs, "probability planes");
  AccumulatePixels(image, probs, t, [&channels](const std::uint8_t*, std::size_t i) {
    return std::array<float, 3>{channels[0][i], channels[1][i], channels[2][i]};
  });
}

void ChannelHistograms::AccumulateByColour(const ColourTable& table, const StainChannelPlanes& colourValues,
                                           const ClassProbabilityPlanes& colourProbs, const StainParams& t,
                                           unsigned threads) {
  const std::size_t n = table.Size();
  if (colourValues.PixelCount() != n || colourValues.plane[2].size() != n || colourProbs.PixelCount() != n ||
      colourProbs.plane[2].size() != n) {
    throw std::invalid_argument("channel statistics: per-colour values do not match the colour table");
  }
  if (n == 0) return;
  const std::uint8_t* bgr = table.Colours().ptr<std::uint8_t>(0);
  const auto& counts = table.Index().Counts();
  // Integer counts: the same totals for any split of the colours.
  *this += ParallelAccumulate<ChannelHistograms>(
      n, threads,
      [&](std::size_t begin, std::size_t end, ChannelHistograms& sum) {
        for (std::size_t c = begin; c < end; ++c) {
          sum.AddPixels(bgr + 3 * c, {colourValues[0][c], colourValues[1][c], colourValues[2][c]},
                        {colourProbs[0][c], colourProbs[1][c], colourProbs[2][c]}, t, counts[c]);
        }
      },
      kMinColoursPerChunk);
}

ChannelHistograms& ChannelHistograms::operator+=(const ChannelHistograms& other) {
  for (int j = 0; j < 2; ++j) {
    for (int c = 0; c < 3; ++c) {
      for (int b = 0; b < kBins; ++b) counts_[j][c][b] += other.counts_[j][c][b];
    }
  }
  return *this;
}

ChannelStats ComputeChannelStats(const ChannelHistograms& histograms, const LogSink& log) {
  ChannelStats stats;
  for (int j = 0; j < 2; ++j) stats.channel[j] = ChannelStatistics(j, histograms, log);
  return stats;
}

void LogChannelStatsLines(const LogSink& log, const char* label, int channel, const ChannelClassStats& s) {
  LogLine(log, label, channel, ") meanb=", s.meanStained, ", meana=", s.meanBackground,
          ", meano=", s.meanOther);
  LogLine(log, label, channel, ") sdb=", s.sdStained, ", sda=", s.sdBackground, ", sdo=", s.sdOther);
}

ChannelStats CalcChannelStats(const cv::Mat& image, const StainChannelPlanes& channels,
                              const ClassProbabilityPlanes& probs, const StainParams& thresholds,
                              const LogSink& log) {
  ChannelHistograms histograms;
  histograms.Accumulate(image, channels, probs, thresholds);
  return ComputeChannelStats(histograms, log);
}

}  // namespace histonorm
