#include "norm/colour_map_transform.h"

#include <cstdint>

namespace histonorm {

cv::Mat ColoursOf(const ImageColours& index) {
  const std::vector<std::uint32_t>& keys = index.Keys();
  cv::Mat colours(1, static_cast<int>(keys.size()), CV_8UC3);
  std::uint8_t* p = colours.ptr<std::uint8_t>(0);
  for (const std::uint32_t key : keys) {
    for (int b = 0; b < 3; ++b) *p++ = ImageColours::KeyByte(key, b);
  }
  return colours;
}

void ScatterColours(const ImageColours& index, const cv::Mat& perColour, cv::Mat& output) {
  const std::uint8_t* mapped = perColour.ptr<std::uint8_t>(0);
  const std::uint32_t* colourOf = index.PixelIndices().data();
  for (int y = 0; y < output.rows; ++y) {
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (int x = 0; x < output.cols; ++x, out += 3, ++colourOf) {
      const std::uint8_t* m = mapped + 3 * static_cast<std::size_t>(*colourOf);
      out[0] = m[0];
      out[1] = m[1];
      out[2] = m[2];
    }
  }
}

void ColourMapTransform::Transform(const cv::Mat& input, cv::Mat& output) const {
  const ImageColours index(input);
  cv::Mat mapped;
  MapColours(ColoursOf(index), mapped);
  ScatterColours(index, mapped, output);
}

}  // namespace histonorm
