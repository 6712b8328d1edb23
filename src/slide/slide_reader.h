#pragma once
// Reading whole-slide images: their levels, resolution and pixels, without holding a level in memory.
//
//   const histonorm::slide::Slide slide = histonorm::slide::Slide::Open("case.svs");
//   const cv::Mat sample = histonorm::slide::ReadTissueMosaic(slide, 0, {});
//
// Slides are opened through OpenSlide (by way of libvips), so every format it knows works: Aperio, Hamamatsu,
// MIRAX, generic tiled TIFF and others. The levels of a generic tiled TIFF are then decoded by libtiff, which
// is quicker at it. Pixels come out as blue, green, red; where a slide is transparent
// (outside its scanned regions) they are composited over white.
#include <opencv2/core.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>
#include <vips/vips8>

namespace histonorm::slide {

// A slide that cannot be opened or read; what() says why, without the path.
class SlideError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starts libvips once for the process (later calls do nothing).
// throws: SlideError when libvips cannot start.
void StartVips();

class Slide {
 public:
  // ensures: the slide at `path`, its levels described.
  // throws:  SlideError when the file is missing, unreadable, truncated or not a slide.
  [[nodiscard]] static Slide Open(const std::string& path);

  const std::string& Path() const { return path_; }
  [[nodiscard]] int LevelCount() const { return static_cast<int>(levels_.size()); }
  // requires: 0 <= level < LevelCount().
  [[nodiscard]] cv::Size LevelSize(int level) const;
  // The size of a level-0 pixel in micrometres (x, y), when the slide says.
  [[nodiscard]] std::optional<cv::Point2d> MicronsPerPixel() const { return micronsPerPixel_; }
  // The size of a pixel of `level` in micrometres, when the slide says.
  [[nodiscard]] std::optional<cv::Point2d> MicronsPerPixel(int level) const;
  // The magnification `level` stands for (the scan's objective power over the level's downsample), when
  // the slide says.
  [[nodiscard]] std::optional<double> ObjectivePower(int level) const;
  // The names of the slide's associated images (such as "label", "macro", "thumbnail"), in its order.
  [[nodiscard]] const std::vector<std::string>& AssociatedNames() const { return associatedNames_; }
  // requires: `name` is one of AssociatedNames().
  // ensures:  the associated image as CV_8UC3 red, green, blue (transparency over white).
  // throws:   SlideError.
  [[nodiscard]] cv::Mat ReadAssociated(const std::string& name) const;

  // requires: 0 <= level < LevelCount().
  // ensures:  the level as a lazily read image of 3 unsigned 8-bit bands, red, green, blue.
  // throws:   SlideError.
  [[nodiscard]] vips::VImage Level(int level) const;

  // requires: 0 <= level < LevelCount(); rect lies inside the level.
  // ensures:  the pixels of rect as CV_8UC3 blue, green, red.
  // throws:   SlideError, also when the pixels cannot be decoded.
  [[nodiscard]] cv::Mat ReadRegion(int level, const cv::Rect& rect) const;
  // The same from an image Level() returned, which saves opening the level again for each region.
  [[nodiscard]] static cv::Mat ReadRegion(const vips::VImage& levelImage, const cv::Rect& rect);

 private:
  Slide() = default;

  std::string path_;
  std::vector<cv::Size> levels_;
  // For a generic tiled TIFF, the TIFF page of each level: libtiff decodes those tiles faster than OpenSlide.
  std::vector<int> tiffPages_;
  std::vector<double> downsamples_;
  std::optional<cv::Point2d> micronsPerPixel_;
  std::optional<double> objectivePower_;
  std::vector<std::string> associatedNames_;
};

// ensures: the whole of `level` (or of a coarser level, or of it shrunk by a whole factor) with at most
//          maxPixels pixels, as CV_8UC3 blue, green, red: the slide's own reduced level read whole.
// throws:  SlideError.
[[nodiscard]] cv::Mat ReadReducedLevel(const Slide& slide, int level, double maxPixels = 4e6);

// ensures: the whole factors (x, y) a level of `size` is shrunk by to hold at most maxPixels pixels, as
//          close to the same factor both ways as its sides allow: neither shrinks a side below one pixel, so
//          a thin level shrinks along its length.
[[nodiscard]] cv::Size ReductionFactors(cv::Size size, double maxPixels);

struct MosaicSettings {
  int tileSize = 256;  // the side of each square tile, in pixels of the level
  int maxTiles = 64;   // at most this many tiles
};

// ensures: a mosaic of square tiles read at full resolution from `level`, laid out in a full grid with no
//          padding: the tiles that show the most tissue (not glass) on a reduced view, spread evenly over
//          the slide in reading order. CV_8UC3 blue, green, red. A slide smaller than one tile gives the
//          level read whole.
// throws:  SlideError.
[[nodiscard]] cv::Mat ReadTissueMosaic(const Slide& slide, int level, const MosaicSettings& settings);

}  // namespace histonorm::slide
