#pragma once
// A picture that sets images side by side for a person to compare: one row per group (for example
// source | target | result), every image scaled to a common height, each with a caption above it.
//
// ComposeSideBySide requires at least one row and 8-bit 3-channel images; rows may hold different
// numbers of images and images may differ in size. It ensures an 8-bit 3-channel picture on a
// white ground whose rows are stacked top to bottom in the given order.
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace histonorm::tools {

struct CaptionedImage {
  cv::Mat image;
  std::string caption;
};

using SideBySideRow = std::vector<CaptionedImage>;

// rowHeight: height of every scaled image in pixels (the caption band comes on top).
cv::Mat ComposeSideBySide(const std::vector<SideBySideRow>& rows, int rowHeight);

}  // namespace histonorm::tools
