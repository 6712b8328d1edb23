#pragma once
// The interface shared by every normalisation method.
//
// A method learns the target's colour statistics from one or more target images (CalcStats, once
// per target image; statistics accumulate) and then rewrites source images so that their colours
// follow those statistics (Norm). Images are 8-bit, 3-channel BGR cv::Mat; rows are located through
// the matrix's own step, and bytes between the end of a row and the next row are never touched.
#include <opencv2/core.hpp>

namespace histonorm {

class CNormBase {
 public:
  virtual ~CNormBase() = default;
  // Adds one target image to the target statistics.
  virtual void CalcStats(const cv::Mat& image) = 0;
  // Requires output to have the input's size and type. Ensures every pixel of output is written.
  virtual void Norm(const cv::Mat& input, cv::Mat& output) = 0;
};

}  // namespace histonorm
