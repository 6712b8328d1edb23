#include "stain/channel_mapping.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "common/parallel_for.h"

namespace histonorm {

namespace {

constexpr float kDomainStart = 0.0f;
constexpr float kDomainEnd = 501.0f;
constexpr std::uint32_t kCoefficients = 8;
constexpr int kRepeatEnds = 1;

// Points on the identity that pin the dark and the white end of the scale.
constexpr std::array<float, 9> kFixedPoints = {0.0f,  10.0f,  20.0f,  30.0f, 40.0f,
                                               50.0f, 255.0f, 240.0f, 500.0f};

constexpr float kHighestRangeEnd = 255.0f;
constexpr float kLowestRangeEnd = 0.0f;
constexpr float kLargestInput = 500.0f;
constexpr float kSmallestOutput = 1.0f;
// Fewer values than this per thread are not worth starting a thread for.
constexpr std::size_t kMinValuesPerThread = std::size_t{1} << 14;

float AtMost255(float v) { return v > kHighestRangeEnd ? kHighestRangeEnd : v; }
float AtLeast0(float v) { return v < kLowestRangeEnd ? kLowestRangeEnd : v; }

void AddIfFinite(MappingPoints& points, float x, float y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  points.x[points.count] = x;
  points.y[points.count] = y;
  ++points.count;
}

}  // namespace

TargetChannelStats TargetStatsOf(const ChannelClassStats& s) {
  TargetChannelStats t;
  t.mean = {static_cast<float>(s.meanStained), static_cast<float>(s.meanBackground),
            static_cast<float>(s.meanOther)};
  t.low = {s.lowStained, s.lowBackground, s.lowOther};
  t.high = {s.highStained, s.highBackground, s.highOther};
  return t;
}

CubicBSpline MakeChannelMappingCurve(const LogSink& log) {
  return CubicBSpline(kDomainStart, kDomainEnd, kCoefficients, kRepeatEnds, log);
}

MappingPoints ChannelMappingPoints(const ChannelClassStats& image, const TargetChannelStats& target) {
  MappingPoints points;
  for (const float v : kFixedPoints) AddIfFinite(points, v, v);
  AddIfFinite(points, static_cast<float>(image.meanStained), target.mean[kStainedClass]);
  AddIfFinite(points, static_cast<float>(image.meanBackground), target.mean[kBackgroundClass]);
  AddIfFinite(points, static_cast<float>(image.meanOther), target.mean[kOtherClass]);
  AddIfFinite(points, AtMost255(image.highStained), AtMost255(target.high[kStainedClass]));
  AddIfFinite(points, AtLeast0(image.lowStained), AtLeast0(target.low[kStainedClass]));
  AddIfFinite(points, AtMost255(image.highBackground), AtMost255(target.high[kBackgroundClass]));
  AddIfFinite(points, AtLeast0(image.lowBackground), AtLeast0(target.low[kBackgroundClass]));
  AddIfFinite(points, AtMost255(image.highOther), AtMost255(target.high[kOtherClass]));
  AddIfFinite(points, AtLeast0(image.lowOther), AtLeast0(target.low[kOtherClass]));
  return points;
}

CubicBSpline FitChannelMapping(const ChannelClassStats& image, const TargetChannelStats& target,
                               const LogSink& log) {
  const MappingPoints points = ChannelMappingPoints(image, target);
  CubicBSpline curve = MakeChannelMappingCurve(log);
  const bool fitted = curve.Fit(std::span<const float>(points.x.data(), points.count),
                                std::span<const float>(points.y.data(), points.count));
  if (!fitted) {
    // The fit has logged why it failed. The channel then maps through the zero curve, so every value
    // becomes the floor 1.0 of MapStainChannelValue: the whole channel reads as fully stained.
    std::fill(curve.Coeffs().begin(), curve.Coeffs().end(), 0.0f);
  }
  return curve;
}

float MapStainChannelValue(const CubicBSpline& curve, float value) {
  float v = value;
  if (v > kLargestInput) v = kLargestInput;
  if (v < 0.0f) v = 0.0f;
  const float mapped = curve.Eval(v);
  return mapped < kSmallestOutput ? kSmallestOutput : mapped;
}

void MapChannel(const CubicBSpline& curve, std::span<float> values, unsigned threads) {
  const bool logs = std::any_of(values.begin(), values.end(), [](float v) { return std::isnan(v); });
  ParallelFor(
      values.size(), logs ? 1U : threads,
      [&](std::size_t begin, std::size_t end) {
        for (float& v : values.subspan(begin, end - begin)) v = MapStainChannelValue(curve, v);
      },
      kMinValuesPerThread);
}

void MakeNonDecreasing(CubicBSpline& curve) {
  // Pool adjacent violators: blocks of (mean, size), merged while a block's mean falls below the
  // previous one's.
  std::vector<std::pair<double, std::size_t>> blocks;
  for (const float c : curve.Coeffs()) {
    blocks.emplace_back(c, 1);
    while (blocks.size() > 1 && blocks[blocks.size() - 2].first > blocks.back().first) {
      const auto [mean, size] = blocks.back();
      blocks.pop_back();
      auto& previous = blocks.back();
      previous.first =
          (previous.first * static_cast<double>(previous.second) + mean * static_cast<double>(size)) /
          static_cast<double>(previous.second + size);
      previous.second += size;
    }
  }
  std::size_t j = 0;
  for (const auto& [mean, size] : blocks) {
    for (std::size_t k = 0; k < size; ++k) curve.Coeffs()[j++] = static_cast<float>(mean);
  }
}

std::array<CubicBSpline, 2> RemapStainChannels(const ChannelStats& image,
                                               const std::array<TargetChannelStats, 2>& target,
                                               StainChannelPlanes& channels, const char* label,
                                               StatsLines when, const LogSink& log, unsigned threads,
                                               bool nonDecreasing) {
  std::array<CubicBSpline, 2> quiet = {MakeChannelMappingCurve(), MakeChannelMappingCurve()};
  for (int i = 0; i < 2; ++i) {
    const ChannelClassStats& stats = image.channel[static_cast<std::size_t>(i)];
    if (when == StatsLines::kBeforeFit) LogChannelStatsLines(log, label, i, stats);
    CubicBSpline curve = FitChannelMapping(stats, target[static_cast<std::size_t>(i)], log);
    if (nonDecreasing) MakeNonDecreasing(curve);
    if (when == StatsLines::kAfterFit) LogChannelStatsLines(log, label, i, stats);
    MapChannel(curve, channels.plane[static_cast<std::size_t>(i)], threads);
    quiet[static_cast<std::size_t>(i)].Coeffs() = curve.Coeffs();
  }
  return quiet;
}

}  // namespace histonorm
