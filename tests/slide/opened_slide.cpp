#include "opened_slide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <vips/vips8>

#include "slide/slide_reader.h"

namespace histonorm::test {

OpenedSlide::OpenedSlide(const std::string& path) : slide_(openslide_open(path.c_str())) {
  if (slide_ != nullptr && openslide_get_error(slide_) != nullptr) {
    ADD_FAILURE() << "OpenSlide: " << openslide_get_error(slide_);
    openslide_close(slide_);
    slide_ = nullptr;
  }
  if (slide_ == nullptr) ADD_FAILURE() << "OpenSlide cannot open " << path;
}

OpenedSlide::~OpenedSlide() {
  if (slide_ != nullptr) openslide_close(slide_);
}

int OpenedSlide::LevelCount() const { return openslide_get_level_count(slide_); }

cv::Size OpenedSlide::LevelSize(int level) const {
  int64_t width = 0;
  int64_t height = 0;
  openslide_get_level_dimensions(slide_, level, &width, &height);
  return {static_cast<int>(width), static_cast<int>(height)};
}

std::optional<std::string> OpenedSlide::Property(const std::string& name) const {
  const char* value = openslide_get_property_value(slide_, name.c_str());
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::vector<std::pair<std::string, cv::Size>> OpenedSlide::AssociatedImages() const {
  std::vector<std::pair<std::string, cv::Size>> images;
  for (const char* const* name = openslide_get_associated_image_names(slide_); *name != nullptr; ++name) {
    int64_t width = 0;
    int64_t height = 0;
    openslide_get_associated_image_dimensions(slide_, *name, &width, &height);
    images.emplace_back(*name, cv::Size(static_cast<int>(width), static_cast<int>(height)));
  }
  return images;
}

cv::Mat OpenedSlide::ReadLevel(int level) const {
  const cv::Size size = LevelSize(level);
  cv::Mat argb(size, CV_8UC4);  // 32-bit ARGB words, stored B, G, R, A on this little-endian machine
  openslide_read_region(slide_, reinterpret_cast<uint32_t*>(argb.data), 0, 0, level, size.width, size.height);
  cv::Mat bgr;
  cv::cvtColor(argb, bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

std::vector<cv::Size> PyramidSizes(cv::Size level0, int tileSize) {
  std::vector<cv::Size> sizes{level0};
  while (sizes.back().width > tileSize || sizes.back().height > tileSize)
    sizes.emplace_back(std::max(1, sizes.back().width / 2), std::max(1, sizes.back().height / 2));
  return sizes;
}

void WriteSyntheticSlide(const std::string& path, cv::Size size) {
  const slide::Slide source = slide::Slide::Open(std::string(HISTONORM_WSI_DIR) + "/cmu_small_region.svs");
  const vips::VImage level = source.Level(0);
  const int across = (size.width + level.width() - 1) / level.width();
  const int down = (size.height + level.height() - 1) / level.height();
  level.replicate(across, down)
      .crop(0, 0, size.width, size.height)
      .tiffsave(path.c_str(), vips::VImage::option()
                                  ->set("tile", true)
                                  ->set("tile_width", 256)
                                  ->set("tile_height", 256)
                                  ->set("pyramid", true)
                                  ->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_JPEG)
                                  ->set("Q", 90));
}

}  // namespace histonorm::test
