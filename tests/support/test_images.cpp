#include "support/test_images.h"

#include <opencv2/imgcodecs.hpp>
#include <random>
#include <stdexcept>

namespace histonorm::test {

std::string SampleDir() { return HISTONORM_SAMPLE_DIR; }

cv::Mat LoadSample(const std::string& name) {
  cv::Mat image = cv::imread(SampleDir() + "/" + name, cv::IMREAD_COLOR);
  if (image.empty()) throw std::runtime_error("missing sample image " + name);
  return image;
}

cv::Mat RandomImage(int rows, int cols, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  cv::Mat image(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y) {
    auto* p = image.ptr<std::uint8_t>(y);
    for (int i = 0; i < cols * 3; ++i) p[i] = static_cast<std::uint8_t>(byte(rng));
  }
  return image;
}

PaddedView MakePadded(const cv::Mat& image, int padColumns, std::uint8_t guard) {
  PaddedView padded;
  padded.buffer = cv::Mat(image.rows, image.cols + 2 * padColumns, CV_8UC3, cv::Scalar::all(guard));
  padded.view = padded.buffer.colRange(padColumns, padColumns + image.cols);
  image.copyTo(padded.view);
  return padded;
}

bool PaddingUntouched(const PaddedView& padded, std::uint8_t guard) {
  const int viewStart = static_cast<int>((padded.view.data - padded.buffer.data) % padded.buffer.step);
  const int viewBytes = padded.view.cols * 3;
  for (int y = 0; y < padded.buffer.rows; ++y) {
    const auto* row = padded.buffer.ptr<std::uint8_t>(y);
    for (int i = 0; i < padded.buffer.cols * 3; ++i) {
      const bool inside = i >= viewStart && i < viewStart + viewBytes;
      if (!inside && row[i] != guard) return false;
    }
  }
  return true;
}

}  // namespace histonorm::test
