#include "norm/reinhard.h"

#include <cmath>
#include <iostream>
#include <ostream>
#include <vector>

#include "common/colour_index.h"
#include "norm/lab_colour.h"

namespace histonorm {

namespace {

void PrintStats(const LabStats& s) {
  std::cerr << s.mean[0] << "," << s.mean[1] << "," << s.mean[2] << " " << s.sd[0] << "," << s.sd[1] << ","
            << s.sd[2] << std::endl;
}

}  // namespace

void LabSums::Add(const cv::Mat& image) {
  // The transform is costly and depends only on the colour: evaluate each distinct colour once,
  // while the sums still run over the pixels in order.
  ColourIndex colours;
  std::vector<Lab> labs;
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      bool isNew = false;
      const std::uint32_t n = colours.Find(ColourIndex::Key(px), isNew);
      if (isNew) labs.push_back(BgrToLab(px[0], px[1], px[2]));
      const Lab& lab = labs[n];
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

std::array<std::uint8_t, 3> CNormReinhard::MapColour(const std::uint8_t* bgr, const LabStats& source) const {
  Lab lab = BgrToLab(bgr[0], bgr[1], bgr[2]);
  for (int c = 0; c < 3; ++c) {
    lab[c] = MapChannelValue(lab[c], source.mean[c], source.sd[c], target_.mean[c], target_.sd[c]);
  }
  const std::array<float, 3> values = LabToBgrValues(lab);
  return {ColourValueToByte(values[0]), ColourValueToByte(values[1]), ColourValueToByte(values[2])};
}

void CNormReinhard::Norm(const cv::Mat& input, cv::Mat& output) {
  LabSums sourceSums;
  sourceSums.Add(input);
  const LabStats source = sourceSums.Stats();
  std::cerr << source.sd[0] << "vs" << source.mean[0] * source.mean[0] << std::endl;
  PrintStats(source);

  // The output colour depends only on the input colour: map each distinct colour once.
  ColourIndex colours;
  std::vector<std::array<std::uint8_t, 3>> mapped;
  for (int y = 0; y < input.rows; ++y) {
    const std::uint8_t* in = input.ptr<std::uint8_t>(y);
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (int x = 0; x < input.cols; ++x, in += 3, out += 3) {
      bool isNew = false;
      const std::uint32_t n = colours.Find(ColourIndex::Key(in), isNew);
      if (isNew) mapped.push_back(MapColour(in, source));
      out[0] = mapped[n][0];
      out[1] = mapped[n][1];
      out[2] = mapped[n][2];
    }
  }
}

}  // namespace histonorm
