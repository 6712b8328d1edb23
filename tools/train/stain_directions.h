#pragma once
// Optical density of colours and a label-free estimate of an image's two stain directions.
//
// Optical density (red, green, blue) of an 8-bit value v is -log10((v + 1) / 256). The estimate
// takes the foreground densities of an image, finds their two main principal directions, and
// returns the densities at the two extreme angles within that plane (cut at the 1st and 99th
// percentiles), matched to reference directions so that `first` is the one nearer the first
// reference stain. It needs no labels and no colour model, so it also serves as an independent
// check of the stain vectors a model leads to.
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "train/pixel_labels.h"

namespace histonorm::train {

using Density = cv::Vec3d;  // red, green, blue optical density

struct StainDirections {
  Density first;   // stain 0, unit length
  Density second;  // stain 1, unit length
};

// Density of a colour given as blue, green, red values 0..255 (fractions allowed).
Density OpticalDensity(const cv::Vec3f& bgr);

// Glass: every channel bright and the channels nearly agree.
bool IsGlassDensity(const Density& od);
// Tissue dense enough to carry a stain direction.
bool IsForegroundDensity(const Density& od);

// Published reference directions of the stain pair (unit length).
StainDirections ReferenceDirections(StainPair stains);

// Extreme directions of the densities (see above); nothing when there are too few densities or the
// two extremes lie closer than a small angle.
std::optional<StainDirections> ExtremeDirections(const std::vector<Density>& foreground,
                                                 const StainDirections& reference);

// Foreground densities of an image (8-bit or float, 3 channels BGR), at most about maxSamples of
// them, taken on a regular pixel stride.
std::vector<Density> ForegroundDensities(const cv::Mat& image, std::size_t maxSamples);

// The estimate for a whole 8-bit BGR image; nothing when it gives no clear pair.
std::optional<StainDirections> ImageStainDirections(const cv::Mat& image, StainPair stains);

// Inverse of the matrix whose rows are the two stain directions and their normalised cross
// product, so that amounts (stain 0, stain 1, residual) = density x inverse.
cv::Matx33d UnmixingMatrix(const StainDirections& d);

// Angle in degrees between two directions.
double AngleDegrees(const Density& a, const Density& b);

}  // namespace histonorm::train
