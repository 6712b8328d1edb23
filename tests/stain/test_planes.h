#pragma once
// Small hand-made inputs for the stain statistics: a one-row image whose pixels carry chosen
// colours, stain channel values and class probabilities.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "common/pixel_planes.h"

namespace histonorm::test {

struct PlanePixel {
  std::array<std::uint8_t, 3> bgr = {200, 200, 200};
  std::array<float, 3> channel = {100.0f, 100.0f, 255.5f};
  std::array<float, 3> prob = {0.0f, 0.0f, 0.0f};  // stain 0, stain 1, background
};

struct PlaneInput {
  cv::Mat image;
  StainChannelPlanes channels;
  ClassProbabilityPlanes probs;
};

inline PlaneInput MakePlaneInput(const std::vector<PlanePixel>& pixels) {
  const int n = static_cast<int>(pixels.size());
  PlaneInput in{cv::Mat(1, n, CV_8UC3), StainChannelPlanes(n, 1), ClassProbabilityPlanes(n, 1)};
  for (int i = 0; i < n; ++i) {
    const PlanePixel& p = pixels[static_cast<std::size_t>(i)];
    in.image.at<cv::Vec3b>(0, i) = cv::Vec3b(p.bgr[0], p.bgr[1], p.bgr[2]);
    for (std::size_t k = 0; k < 3; ++k) {
      in.channels[k][i] = p.channel[k];
      in.probs[k][i] = p.prob[k];
    }
  }
  return in;
}

}  // namespace histonorm::test
