#include "slide/slide_reader.h"

#include <glib.h>
#include <openslide.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
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
// Associated images (labels, overviews) larger than this are refused rather than read into memory.
constexpr std::int64_t kMaxAssociatedPixels = std::int64_t{1} << 28;

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

// The names libvips lists in "slide-associated-images" ("label, macro, thumbnail").
std::vector<std::string> AssociatedImageNames(const vips::VImage& image) {
  std::vector<std::string> names;
  if (image.get_typeof("slide-associated-images") == 0) return names;
  const std::string list = image.get_string("slide-associated-images");
  std::size_t start = 0;
  while (start < list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::size_t first = list.find_first_not_of(' ', start);
    if (first < comma) names.push_back(list.substr(first, list.find_last_not_of(' ', comma - 1) + 1 - first));
    start = comma + 1;
  }
  return names;
}

}  // namespace

void StartVips() {
  if (VIPS_INIT("histonorm") != 0) throw SlideError("libvips cannot start");
  // libvips's warnings (such as a tile that cannot be read) come back as errors with their reason; they
  // are not printed on their own.
  static const bool kQuiet = [] {
    g_log_set_handler(
        "VIPS", G_LOG_LEVEL_WARNING, [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    return true;
  }();
  static_cast<void>(kQuiet);
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
    slide.objectivePower_ = NumberProperty(image, "openslide.objective-power");
    if (slide.objectivePower_ && !(*slide.objectivePower_ > 0)) slide.objectivePower_.reset();
    slide.associatedNames_ = AssociatedImageNames(image);
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

std::optional<double> Slide::ObjectivePower(int level) const {
  if (!objectivePower_) return std::nullopt;
  return *objectivePower_ / downsamples_.at(static_cast<std::size_t>(level));
}

cv::Mat Slide::ReadAssociated(const std::string& name) const {
  // Read through OpenSlide itself: libvips's loader of associated images is not safe on its worker threads.
  const std::unique_ptr<openslide_t, decltype(&openslide_close)> slide(openslide_open(path_.c_str()),
                                                                       &openslide_close);
  if (!slide || openslide_get_error(slide.get()) != nullptr)
    throw SlideError(slide ? openslide_get_error(slide.get()) : "not a slide");
  std::int64_t width = -1;
  std::int64_t height = -1;
  openslide_get_associated_image_dimensions(slide.get(), name.c_str(), &width, &height);
  if (width <= 0 || height <= 0 || width * height > kMaxAssociatedPixels)
    throw SlideError("no associated image '" + name + "' of a size that can be read");
  // 32-bit words of premultiplied alpha, red, green, blue: stored blue, green, red, alpha on this
  // little-endian machine.
  cv::Mat argb(static_cast<int>(height), static_cast<int>(width), CV_8UC4);
  openslide_read_associated_image(slide.get(), name.c_str(), reinterpret_cast<std::uint32_t*>(argb.data));
  if (const char* error = openslide_get_error(slide.get())) throw SlideError(error);
  cv::Mat rgb(argb.size(), CV_8UC3);
  argb.forEach<cv::Vec4b>([&](const cv::Vec4b& pixel, const int* at) {
    // Over white: a premultiplied colour plus the uncovered share of white.
    const int white = 255 - pixel[3];
    rgb.at<cv::Vec3b>(at[0], at[1]) =
        cv::Vec3b(static_cast<unsigned char>(pixel[2] + white), static_cast<unsigned char>(pixel[1] + white),
                  static_cast<unsigned char>(pixel[0] + white));
  });
  return rgb;
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

cv::Size ReductionFactors(cv::Size size, double maxPixels) {
  const double factor = std::max(1.0, std::ceil(std::sqrt(Pixels(size) / maxPixels)));
  if (factor <= size.width && factor <= size.height)
    return {static_cast<int>(factor), static_cast<int>(factor)};
  // A thin level: its short side shrinks to one pixel, its long side takes the rest.
  const bool wide = size.width > size.height;
  const double shortSide = wide ? size.height : size.width;
  const double longSide = wide ? size.width : size.height;
  const int along = static_cast<int>(std::min(longSide, std::max(1.0, std::ceil(longSide / maxPixels))));
  const int across = static_cast<int>(shortSide);
  return wide ? cv::Size(along, across) : cv::Size(across, along);
}

cv::Mat ReadReducedLevel(const Slide& slide, int level, double maxPixels) {
  int chosen = level;
  while (chosen + 1 < slide.LevelCount() && Pixels(slide.LevelSize(chosen)) > maxPixels) ++chosen;
  const cv::Size factors = ReductionFactors(slide.LevelSize(chosen), maxPixels);
  try {
    vips::VImage image = slide.Level(chosen);
    if (factors.width > 1 || factors.height > 1) image = image.shrink(factors.width, factors.height);
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
