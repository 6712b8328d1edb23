#pragma once
// Training labels of pixels: 0 unlabelled, 1 stain 0, 2 stain 1, 3 background, and (automatic
// labels only) 4 for pixels that clearly carry both stains.
//
// Labels come either from a mask file drawn by a person or automatically from optical density.
// Automatic labels look at the mean colour of a 7 x 7 window rather than at the pixel alone:
// labels that are an exact function of a pixel's own colour make the kernel classifiers diverge.
// The image's own two stain directions are estimated without labels; a window of low total
// density is background, one whose stain amounts are almost all of one stain is that stain (the
// stain labels must be pure: the classifier learns to give its highest probabilities to them), one
// whose amounts are near even is "both stains", and anything in between stays unlabelled.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

namespace histonorm::train {

enum class StainPair {
  kHaematoxylinEosin,  // stain 0 haematoxylin, stain 1 eosin
  kHaematoxylinDab,    // stain 0 haematoxylin, stain 1 DAB
};

inline constexpr std::uint8_t kUnlabelled = 0;
inline constexpr std::uint8_t kBothStains = 4;
inline constexpr int kClassCount = 3;

// Automatic labels of an 8-bit, 3-channel BGR image; ensures an 8-bit one-channel mask of the same size.
cv::Mat AutomaticLabels(const cv::Mat& image, StainPair stains);

// Share of stain 0 in the two stains' amounts of every pixel's 7 x 7 window (0..1) where the window
// is stained tissue, NaN elsewhere (glass, faint colours); the same stain directions as
// AutomaticLabels. Ensures a 32-bit float one-channel map of the image's size.
cv::Mat StainShares(const cv::Mat& image, StainPair stains);
// Shares from a label mask: 1 for stain 0, 0 for stain 1, NaN elsewhere.
cv::Mat SharesFromLabels(const cv::Mat& labels);

// Reads a label mask. Throws std::runtime_error when it cannot be read, is not expectedSize, or
// holds a value above 3.
cv::Mat ReadLabelMask(const std::string& path, cv::Size expectedSize);

// Number of pixels per label value 0..4 (larger values count as unlabelled).
std::array<std::size_t, 5> CountLabels(const cv::Mat& labels);

}  // namespace histonorm::train
