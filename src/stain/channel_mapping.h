#pragma once
// The curve that remaps one stain channel of an image so that its class statistics land on the
// target's: a cubic B-spline over channel values [0, 501) with 8 coefficients (end coefficients
// repeated at the boundaries), fitted by damped least squares through nine fixed identity points
// and up to nine pairs of image and target statistics (class means and range ends).
//
// A pair whose image or target value is not finite (an empty class) is left out, so the fit always
// has between 9 and 18 rows. A fit that fails (logged) leaves the curve at zero everywhere, which maps
// every value of the channel to 1.0.
#include <array>
#include <span>

#include "stain/channel_stats.h"
#include "stain/cubic_bspline.h"

namespace histonorm {

// Target statistics of one stain channel, indexed by class (kStainedClass, kBackgroundClass, kOtherClass).
struct TargetChannelStats {
  std::array<float, 3> mean{};
  std::array<float, 3> low{};
  std::array<float, 3> high{};
};

// The target side of a channel's statistics (means rounded to single precision).
[[nodiscard]] TargetChannelStats TargetStatsOf(const ChannelClassStats& stats);

// A channel mapping curve with all coefficients 0: domain [0, 501), 8 coefficients, boundary mode 1.
[[nodiscard]] CubicBSpline MakeChannelMappingCurve(const LogSink& log = {});

// The x (image) and y (target) values of the fit, in row order, without pairs that are not finite.
struct MappingPoints {
  std::array<float, 18> x{};
  std::array<float, 18> y{};
  std::size_t count = 0;
};
[[nodiscard]] MappingPoints ChannelMappingPoints(const ChannelClassStats& image,
                                                 const TargetChannelStats& target);

// Fits a fresh channel mapping curve from the image's statistics of one channel to the target's;
// the curve logs to `log`.
[[nodiscard]] CubicBSpline FitChannelMapping(const ChannelClassStats& image, const TargetChannelStats& target,
                                             const LogSink& log = {});

// The mapped value of one channel value: the input limited to [0, 500], evaluated, and raised to
// at least 1.0.
[[nodiscard]] float MapStainChannelValue(const CubicBSpline& curve, float value);

// Maps every value in place with MapChannelValue, split over `threads` (0 = all cores). Values that
// are not numbers make the curve log; then the values are mapped in order on one thread, so that
// the lines keep their order.
void MapChannel(const CubicBSpline& curve, std::span<float> values, unsigned threads = 1);

// Makes the curve's coefficients non-decreasing, as close to them as possible in least squares
// (adjacent decreasing coefficients are pooled to their mean). A uniform cubic B-spline with
// non-decreasing coefficients is itself non-decreasing: no stain amount maps below a smaller one, so
// the mapping never inverts contrast.
void MakeNonDecreasing(CubicBSpline& curve);

// Where the statistics lines of a channel go relative to its fit.
enum class StatsLines { kAfterFit, kBeforeFit };

// One remapping stage: for channel 0, then 1, fits the mapping from the image's statistics to the
// target's and maps the channel's plane in place, logging the channel's statistics lines with
// `label` before or after the fit. Plane 2 is left as it is. Mapping uses `threads` (0 = all cores).
// With `nonDecreasing`, each curve is made non-decreasing (MakeNonDecreasing) before it maps.
// Returns the two fitted curves, which log nothing.
std::array<CubicBSpline, 2> RemapStainChannels(const ChannelStats& image,
                                               const std::array<TargetChannelStats, 2>& target,
                                               StainChannelPlanes& channels, const char* label,
                                               StatsLines when, const LogSink& log = {}, unsigned threads = 1,
                                               bool nonDecreasing = false);

}  // namespace histonorm
