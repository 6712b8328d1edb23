#pragma once
// A fitted transform given as a function of the colour: each distinct colour of an image is mapped
// once, and every pixel receives the result of its colour.
#include <opencv2/core.hpp>

#include "common/image_colours.h"
#include "histonorm/fitted_transform.h"

namespace histonorm {

class ColourMapTransform : public FittedTransform {
 protected:
  ColourMapTransform() = default;

 private:
  // requires: `colours` is a 1 x N CV_8UC3 image of distinct BGR colours.
  // ensures: `mapped` is a 1 x N CV_8UC3 image of their transformed colours.
  virtual void MapColours(const cv::Mat& colours, cv::Mat& mapped) const = 0;
  void Transform(const cv::Mat& input, cv::Mat& output) const final;
};

// The 1 x N BGR image of the colours of `index` (in key order).
[[nodiscard]] cv::Mat ColoursOf(const ImageColours& index);

// Writes to every pixel of `output` (of the indexed image's size) the colour in `perColour` (1 x N
// BGR, one per colour of `index`) of that pixel's colour.
void ScatterColours(const ImageColours& index, const cv::Mat& perColour, cv::Mat& output);

}  // namespace histonorm
