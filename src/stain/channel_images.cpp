#include "stain/channel_images.h"

#include <cstddef>
#include <cstdint>
#include <opencv2/imgcodecs.hpp>
#include <string>
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

bool SaveQuietly(const std::string& path, const cv::Mat& image) {
  try {
    return cv::imwrite(path, image);
  } catch (const cv::Exception&) {
    return false;
  }
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

bool SaveChannelImages(const StainChannelPlanes& channels, float scale, const std::string& baseName) {
  const bool first = SaveQuietly(baseName + ".1.jpg", ChannelImage(channels, 0, scale));
  const bool second = SaveQuietly(baseName + ".2.jpg", ChannelImage(channels, 1, scale));
  return first && second;
}

bool SaveChannelImages(const ColourTable& table, const StainChannelPlanes& colourValues, float scale,
                       const std::string& baseName) {
  bool saved = true;
  for (int channel = 0; channel < 2; ++channel) {
    const float* values = colourValues[static_cast<std::size_t>(channel)];
    std::vector<std::uint8_t> pixels(table.Size());
    for (std::size_t c = 0; c < pixels.size(); ++c) pixels[c] = PixelOf(values[c], scale);
    saved = SaveQuietly(baseName + "." + std::to_string(channel + 1) + ".jpg", table.GatherBytes(pixels)) &&
            saved;
  }
  return saved;
}

}  // namespace histonorm
