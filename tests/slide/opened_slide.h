#pragma once
// Test helpers: a slide file read back through OpenSlide's own interface, and a small synthetic slide.
#include <openslide.h>

#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace histonorm::test {

class OpenedSlide {
 public:
  // Fails the current test (and stays empty) when OpenSlide cannot open `path`.
  explicit OpenedSlide(const std::string& path);
  ~OpenedSlide();
  OpenedSlide(const OpenedSlide&) = delete;
  OpenedSlide& operator=(const OpenedSlide&) = delete;

  bool IsOpen() const { return slide_ != nullptr; }
  int LevelCount() const;
  cv::Size LevelSize(int level) const;
  std::optional<std::string> Property(const std::string& name) const;
  // The associated images' names and sizes, in the slide's order.
  std::vector<std::pair<std::string, cv::Size>> AssociatedImages() const;
  // The whole level as CV_8UC3 blue, green, red (the test slides are opaque).
  cv::Mat ReadLevel(int level) const;

 private:
  openslide_t* slide_ = nullptr;
};

// The level sizes of a pyramid that halves (rounding down, to no less than a pixel) until a level fits in
// one tile.
std::vector<cv::Size> PyramidSizes(cv::Size level0, int tileSize);

// Writes a synthetic generic pyramidal tiled TIFF of `size` (JPEG tiles of 256) made by repeating the
// shipped slide cmu_small_region.svs.
void WriteSyntheticSlide(const std::string& path, cv::Size size);

}  // namespace histonorm::test
