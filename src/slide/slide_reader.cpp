#include "slide/slide_reader.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <string_view>

namespace histonorm::slide {

namespace {

// Pixels at least this bright (grey level) are taken for glass when looking for tissue.
constexpr int kGlassGrey = 220;
// A tile is tissue when at least this share of its reduced view is not glass.
constexpr double kTissueShare = 0.5;
// The reduced view tissue is looked for on.
constexpr double kOverviewPixels = 1e6;

// libvips's error text, reduced to its first line without the reporting function's name.
std::string Reason(const vips::VError& error) {
  std::string_view text = error.what();
  text = text.substr(0, text.find('\n'));
  const std::size_t colon = text.find(": ");
  if (colon != std::string_view::npos && text.substr(0, colon).find(' ') == std::string_view::npos)
    text.remove_prefix(colon + 2);
  vips_error_clear();
  return text.empty() ? std::string("unknown error") : std::string(text);
}

std::optional<double> NumberProperty(const vips::VImage& image, const std::string& name) {
  if (image.get_typeof(name.c_str()) == 0) return std::nullopt;
  try {
    return std::stod(image.get_string(name.c_str()));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

double RequiredProperty(const vips::VImage& image, const std::string& name) {
  const std::optional<double> value = NumberProperty(image, name);
  if (!value) throw SlideError("the slide does not state its " + name);
  return *value;
}

// Copies a whole (small) image of 3 unsigned 8-bit bands, red, green, blue, into a blue-green-red matrix.
cv::Mat ToBgr(const vips::VImage& rgb) {
  std::size_t size = 0;
  void* pixels = rgb.write_to_memory(&size);
  const cv::Mat wrapped(rgb.height(), rgb.width(), CV_8UC3, pixels);
  cv::Mat bgr;
  cv::cvtColor(wrapped, bgr, cv::COLOR_RGB2BGR);
  g_free(pixels);
  return bgr;
}

// A level's pixel count (which overflows int beyond 46,340 x 46,340).
double Pixels(cv::Size size) { return static_cast<double>(size.width) * size.height; }

// The largest divisor of n that is at most its square root: the column count of a full grid of n cells.
int GridColumns(int n) {
  int columns = 1;
  for (int c = 1; c * c <= n; ++c)
    if (n % c == 0) columns = c;
  return columns;
}

// The level's full tiles, in reading order, that are mostly tissue on `overview` (or all of them if none is).
std::vector<cv::Rect> TissueTiles(const cv::Mat& overview, cv::Size levelSize, int tileSize) {
  cv::Mat grey;
  cv::cvtColor(overview, grey, cv::COLOR_BGR2GRAY);
  const cv::Mat tissue = grey < kGlassGrey;
  const double scaleX = static_cast<double>(overview.cols) / levelSize.width;
  const double scaleY = static_cast<double>(overview.rows) / levelSize.height;
  std::vector<cv::Rect> all;
  std::vector<cv::Rect> mostlyTissue;
  for (int y = 0; y + tileSize <= levelSize.height; y += tileSize) {
    for (int x = 0; x + tileSize <= levelSize.width; x += tileSize) {
      const int left = std::min(static_cast<int>(x * scaleX), overview.cols - 1);
      const int top = std::min(static_cast<int>(y * scaleY), overview.rows - 1);
      const int right =
          std::clamp(static_cast<int>(std::ceil((x + tileSize) * scaleX)), left + 1, overview.cols);
      const int bottom =
          std::clamp(static_cast<int>(std::ceil((y + tileSize) * scaleY)), top + 1, overview.rows);
      const cv::Rect view(left, top, right - left, bottom - top);
      const double share = cv::countNonZero(tissue(view)) / static_cast<double>(view.area());
      all.emplace_back(x, y, tileSize, tileSize);
      if (share >= kTissueShare) mostlyTissue.push_back(all.back());
    }
  }
  return mostlyTissue.empty() ? all : mostlyTissue;
}

// Why OpenSlide does not take the file: its own reason, made clearer when it knows no format for it.
std::string OpenFailure(const std::string& path, const vips::VError& error) {
  std::string reason = Reason(error);
  if (reason.find("unsupported slide format") == std::string::npos) return reason;
  std::ifstream file(path, std::ios::binary);
  std::array<char, 4> magic{};
  file.read(magic.data(), magic.size());
  const std::string_view start(magic.data(), magic.size());
  const bool tiff = start == std::string_view("II*\0", 4) || start == std::string_view("MM\0*", 4) ||
                    start == std::string_view("II+\0", 4) || start == std::string_view("MM\0+", 4);
  return tiff ? "a TIFF file that is truncated, damaged or not tiled (OpenSlide cannot read it)"
              : "not a slide in any format OpenSlide reads";
}

// The TIFF page of each level: the first page after the previous level's of the level's size. Nothing when
// a level has no such page.
std::vector<int> GenericTiffPages(const std::string& path, const std::vector<cv::Size>& levels) {
  std::vector<int> pages;
  try {
    const int count = vips::VImage::tiffload(path.c_str()).get_int("n-pages");
    for (int page = 0; page < count && pages.size() < levels.size(); ++page) {
      const vips::VImage image =
          vips::VImage::tiffload(path.c_str(), vips::VImage::option()->set("page", page));
      if (cv::Size(image.width(), image.height()) == levels[pages.size()]) pages.push_back(page);
    }
  } catch (const vips::VError&) {
    vips_error_clear();
    return {};
  }
  return pages.size() == levels.size() ? pages : std::vector<int>{};
}

}  // namespace

void StartVips() {
  if (VIPS_INIT("histonorm") != 0) throw SlideError("libvips cannot start");
}

Slide Slide::Open(const std::string& path) {
  StartVips();
  std::error_code error;
  if (!std::filesystem::exists(path, error)) throw SlideError("no such file");
  if (!std::filesystem::is_regular_file(path, error)) throw SlideError("not a file");
  Slide slide;
  slide.path_ = path;
  std::string vendor;
  try {
    const vips::VImage image = vips::VImage::openslideload(path.c_str());
    const int count = static_cast<int>(RequiredProperty(image, "openslide.level-count"));
    for (int level = 0; level < count; ++level) {
      const std::string prefix = "openslide.level[" + std::to_string(level) + "].";
      slide.levels_.emplace_back(static_cast<int>(RequiredProperty(image, prefix + "width")),
                                 static_cast<int>(RequiredProperty(image, prefix + "height")));
      slide.downsamples_.push_back(RequiredProperty(image, prefix + "downsample"));
    }
    vendor = image.get_typeof("openslide.vendor") != 0 ? image.get_string("openslide.vendor") : "";
    const std::optional<double> mppX = NumberProperty(image, "openslide.mpp-x");
    const std::optional<double> mppY = NumberProperty(image, "openslide.mpp-y");
    if (mppX && mppY && *mppX > 0 && *mppY > 0) slide.micronsPerPixel_ = cv::Point2d(*mppX, *mppY);
  } catch (const vips::VError& e) {
    throw SlideError(OpenFailure(path, e));
  }
  if (slide.levels_.empty()) throw SlideError("the slide has no levels");
  if (vendor == "generic-tiff") slide.tiffPages_ = GenericTiffPages(path, slide.levels_);
  return slide;
}

cv::Size Slide::LevelSize(int level) const { return levels_.at(static_cast<std::size_t>(level)); }

std::optional<cv::Point2d> Slide::MicronsPerPixel(int level) const {
  if (!micronsPerPixel_) return std::nullopt;
  return *micronsPerPixel_ * downsamples_.at(static_cast<std::size_t>(level));
}

vips::VImage Slide::Level(int level) const {
  try {
    vips::VImage image =
        tiffPages_.empty()
            ? vips::VImage::openslideload(path_.c_str(), vips::VImage::option()->set("level", level))
            : vips::VImage::tiffload(
                  path_.c_str(),
                  vips::VImage::option()->set("page", tiffPages_.at(static_cast<std::size_t>(level))));
    if (image.has_alpha()) image = image.flatten(vips::VImage::option()->set("background", 255.0));
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.bands() == 1) image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.bands() != 3) throw SlideError("the slide's pixels are not red, green and blue");
    return image;
  } catch (const vips::VError& e) {
    throw SlideError(Reason(e));
  }
}

cv::Mat Slide::ReadRegion(int level, const cv::Rect& rect) const { return ReadRegion(Level(level), rect); }

cv::Mat Slide::ReadRegion(const vips::VImage& levelImage, const cv::Rect& rect) {
  try {
    return ToBgr(levelImage.crop(rect.x, rect.y, rect.width, rect.height));
  } catch (const vips::VError& e) {
    throw SlideError(Reason(e));
  }
}

cv::Mat ReadReducedLevel(const Slide& slide, int level, double maxPixels) {
  int chosen = level;
  while (chosen + 1 < slide.LevelCount() && Pixels(slide.LevelSize(chosen)) > maxPixels) ++chosen;
  const int factor =
      std::max(1, static_cast<int>(std::ceil(std::sqrt(Pixels(slide.LevelSize(chosen)) / maxPixels))));
  try {
    vips::VImage image = slide.Level(chosen);
    if (factor > 1) image = image.shrink(factor, factor);
    return ToBgr(image);
  } catch (const vips::VError& e) {
    throw SlideError(Reason(e));
  }
}

cv::Mat ReadTissueMosaic(const Slide& slide, int level, const MosaicSettings& settings) {
  const cv::Size size = slide.LevelSize(level);
  const int tileSize = settings.tileSize;
  if (size.width < tileSize || size.height < tileSize) return slide.ReadRegion(level, cv::Rect({}, size));
  const std::vector<cv::Rect> candidates =
      TissueTiles(ReadReducedLevel(slide, level, kOverviewPixels), size, tileSize);
  const int count = std::min(std::max(1, settings.maxTiles), static_cast<int>(candidates.size()));
  const int columns = GridColumns(count);
  const vips::VImage image = slide.Level(level);
  cv::Mat mosaic(count / columns * tileSize, columns * tileSize, CV_8UC3);
  for (int i = 0; i < count; ++i) {
    const std::size_t pick =
        static_cast<std::size_t>(i) * candidates.size() / static_cast<std::size_t>(count);
    const cv::Rect cell(i % columns * tileSize, i / columns * tileSize, tileSize, tileSize);
    Slide::ReadRegion(image, candidates[pick]).copyTo(mosaic(cell));
  }
  return mosaic;
}

}  // namespace histonorm::slide
