#include "norm/reinhard.h"

#include <cmath>
#include <iostream>
#include <ostream>

#include "norm/lab_colour.h"

namespace histonorm {

namespace {

void PrintStats(const LabStats& s) {
  std::cerr << s.mean[0] << "," << s.mean[1] << "," << s.mean[2] << " " << s.sd[0] << "," << s.sd[1] << ","
            << s.sd[2] << std::endl;
}

}  // namespace

void LabSums::Add(const cv::Mat& image) {
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      const Lab lab = BgrToLab(px[0], px[1], px[2]);
      for (int c = 0; c < 3; ++c) {
        sum[c] += static_cast<double>(lab[c]);
        sumSquares[c] += static_cast<double>(lab[c] * lab[c]);
      }
      ++count;
    }
  }
}

LabStats LabSums::Stats() const {
  LabStats s;
  const double n = static_cast<double>(count);
  for (int c = 0; c < 3; ++c) {
    s.mean[c] = sum[c] / n;
    s.sd[c] = std::sqrt(sumSquares[c] / n - s.mean[c] * s.mean[c]);
  }
  return s;
}

float MapChannelValue(float x, double sourceMean, double sourceSd, double targetMean, double targetSd) {
  if (sourceSd == 0.0 || std::isnan(sourceSd)) return static_cast<float>(targetMean);
  return static_cast<float>(((x - sourceMean) * targetSd / sourceSd) + targetMean);
}

void CNormReinhard::CalcStats(const cv::Mat& image) {
  targetSums_.Add(image);
  target_ = targetSums_.Stats();
  PrintStats(target_);
}

void CNormReinhard::Norm(const cv::Mat& input, cv::Mat& output) {
  LabSums sourceSums;
  sourceSums.Add(input);
  const LabStats source = sourceSums.Stats();
  std::cerr << source.sd[0] << "vs" << source.mean[0] * source.mean[0] << std::endl;
  PrintStats(source);

  for (int y = 0; y < input.rows; ++y) {
    const std::uint8_t* in = input.ptr<std::uint8_t>(y);
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (int x = 0; x < input.cols; ++x, in += 3, out += 3) {
      Lab lab = BgrToLab(in[0], in[1], in[2]);
      for (int c = 0; c < 3; ++c) {
        lab[c] = MapChannelValue(lab[c], source.mean[c], source.sd[c], target_.mean[c], target_.sd[c]);
      }
      const std::array<float, 3> bgr = LabToBgrValues(lab);
      for (int c = 0; c < 3; ++c) out[c] = ColourValueToByte(bgr[c]);
    }
  }
}

}  // namespace histonorm
