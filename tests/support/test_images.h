#pragma once
// Images for tests: random and sample images, and views with a padded row stride.
#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

namespace histonorm::test {

// Directory of the shipped sample images.
std::string SampleDir();
// A shipped sample image, loaded as 8-bit BGR; fails the test when missing.
cv::Mat LoadSample(const std::string& name);

// A reproducible random 8-bit BGR image.
cv::Mat RandomImage(int rows, int cols, std::uint32_t seed);

// A view of `image`'s pixels inside a wider buffer, so that step exceeds 3 x width. The columns
// outside the view are filled with `guard`.
struct PaddedView {
  cv::Mat buffer;  // the whole wider image
  cv::Mat view;    // the column range holding the pixels
};
PaddedView MakePadded(const cv::Mat& image, int padColumns, std::uint8_t guard);

// True when every byte of `buffer` outside `view` still equals `guard`.
bool PaddingUntouched(const PaddedView& padded, std::uint8_t guard);

}  // namespace histonorm::test
