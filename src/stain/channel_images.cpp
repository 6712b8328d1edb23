#include "stain/channel_images.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace histonorm {

namespace {

std::uint8_t PixelOf(float v, float scale) {
  if (!(v <= 255.0f)) return 255;
  const float scaled = v * scale;
  if (!(scaled > 0.0f)) return 0;
  if (scaled >= 255.0f) return 255;
  return static_cast<std::uint8_t>(scaled);
}

}  // namespace

cv::Mat ChannelImage(const StainChannelPlanes& channels, int channel, float scale) {
  cv::Mat image(channels.height, channels.width, CV_8UC1);
  const float* plane = channels[static_cast<std::size_t>(channel)];
  for (int y = 0; y < channels.height; ++y) {
    std::uint8_t* row = image.ptr<std::uint8_t>(y);
    const float* values = plane + static_cast<std::size_t>(y) * static_cast<std::size_t>(channels.width);
    for (int x = 0; x < channels.width; ++x) row[x] = PixelOf(values[x], scale);
  }
  return image;
}

std::array<cv::Mat, 2> ChannelPictures(const ColourTable& table, const StainChannelPlanes& colourValues,
                                       float scale) {
  std::array<cv::Mat, 2> pictures;
  for (std::size_t channel = 0; channel < 2; ++channel) {
    const float* values = colourValues[channel];
    std::vector<std::uint8_t> pixels(table.Size());
    for (std::size_t c = 0; c < pixels.size(); ++c) pixels[c] = PixelOf(values[c], scale);
    pictures[channel] = table.GatherBytes(pixels);
  }
  return pictures;
}

}  // namespace histonorm
