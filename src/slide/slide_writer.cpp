#include "slide/slide_writer.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "common/parallel_for.h"
#include "common/safe_save.h"
#include "slide/tiff_output.h"

namespace histonorm::slide {

namespace {

constexpr double kProgressInterval = 0.5;  // seconds between progress reports

// One worker thread's state: its view of the input.
struct Sequence {
  VipsRegion* input = nullptr;
};

void* StartSequence(VipsImage* /*out*/, void* input, void* /*transform*/) {
  VipsRegion* region = vips_region_new(static_cast<VipsImage*>(input));
  if (region == nullptr) return nullptr;
  return new Sequence{region};
}

int StopSequence(void* sequence, void* /*input*/, void* /*transform*/) {
  auto* state = static_cast<Sequence*>(sequence);
  g_object_unref(state->input);
  delete state;
  return 0;
}

int GenerateRegion(VipsRegion* out, void* sequence, void* /*input*/, void* transform, gboolean* /*stop*/) {
  auto* state = static_cast<Sequence*>(sequence);
  const VipsRect& rect = out->valid;
  if (vips_region_prepare(state->input, &rect) != 0) return -1;
  try {
    const cv::Mat rgbIn(rect.height, rect.width, CV_8UC3, VIPS_REGION_ADDR(state->input, rect.left, rect.top),
                        VIPS_REGION_LSKIP(state->input));
    cv::Mat rgbOut(rect.height, rect.width, CV_8UC3, VIPS_REGION_ADDR(out, rect.left, rect.top),
                   VIPS_REGION_LSKIP(out));
    // Straight from the input region into the output region, in libvips's channel order.
    static_cast<const FittedTransform*>(transform)->Apply(rgbIn, rgbOut, ChannelOrder::kRgb);
    return 0;
  } catch (const std::exception& e) {
    vips_error("histonorm", "%s", e.what());
    return -1;
  }
}

std::string VipsReason() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  text = text.substr(0, text.find('\n'));
  const std::size_t colon = text.find(": ");
  if (colon != std::string::npos && text.substr(0, colon).find(' ') == std::string::npos)
    text.erase(0, colon + 2);
  return text.empty() ? std::string("unknown error") : text;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&&) = delete;
  Descriptor& operator=(Descriptor&&) = delete;
  [[nodiscard]] int Get() const { return fd_; }

 private:
  int fd_;
};

// Encoded tiles of the lower levels, kept in a file of no name in the output's folder until they are
// copied after level 0: the memory used stays that of a few rows of tiles whatever the slide's size, and
// the space is the file system's again as soon as the descriptor closes, however the process ends.
class TileStore {
 public:
  explicit TileStore(const std::string& folder) : fd_(OpenUnnamed(folder)) {}

  struct Span {
    off_t offset;
    std::size_t size;
  };

  [[nodiscard]] Span Append(const std::vector<unsigned char>& bytes) {
    const Span span{end_, bytes.size()};
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::pwrite(fd_.Get(), bytes.data() + done, bytes.size() - done, end_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw SlideError(std::strerror(n < 0 ? errno : ENOSPC));
      done += static_cast<std::size_t>(n);
      end_ += n;
    }
    return span;
  }

  [[nodiscard]] std::vector<unsigned char> Read(const Span& span) const {
    std::vector<unsigned char> bytes(span.size);
    std::size_t done = 0;
    while (done < span.size) {
      const ssize_t n =
          ::pread(fd_.Get(), bytes.data() + done, span.size - done, span.offset + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw SlideError(std::string("cannot read back a tile: ") + std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
    return bytes;
  }

 private:
  static int OpenUnnamed(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // A file system without unnamed files: a named one, removed at once.
    const std::string name = folder + ".histonorm-tiles-" + std::to_string(::getpid()) + ".tmp";
    const int named = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (named < 0) throw SlideError(std::string("cannot create a file there: ") + std::strerror(errno));
    ::unlink(name.c_str());
    return named;
  }

  Descriptor fd_;
  off_t end_ = 0;
};

// The temporary file a slide is written into (listed for removal on SIGINT and SIGTERM by the safe-save
// helper), with a descriptor of its own that libtiff reads, seeks and writes through.
class PendingFile {
 public:
  explicit PendingFile(const std::string& target) : file_(TemporaryFile::CreateIn(FolderOf(target))) {
    if (!file_) throw SlideError(std::string("cannot create a file there: ") + std::strerror(errno));
    fd_ = ::open(file_->Path().c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) throw SlideError(std::string("cannot open the file being written: ") + std::strerror(errno));
  }
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  PendingFile(PendingFile&&) = delete;
  PendingFile& operator=(PendingFile&&) = delete;

  [[nodiscard]] int Fd() const { return fd_; }

  // Flushes the file to the disk and renames it to `target`.
  void RenameTo(const std::string& target) {
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!closed || !file_->RenameTo(target))
      throw SlideError(std::string("cannot put the file in place: ") + std::strerror(errno));
  }

 private:
  std::optional<TemporaryFile> file_;
  int fd_ = -1;
};

using EncodedTile = std::vector<unsigned char>;

// The sizes of the pyramid's levels: each half the one before (rounded down, never below one pixel), down
// to the first that fits in one tile.
std::vector<cv::Size> LevelSizes(cv::Size level0, int tileSize) {
  std::vector<cv::Size> sizes{level0};
  while (sizes.back().width > tileSize || sizes.back().height > tileSize)
    sizes.emplace_back(std::max(1, sizes.back().width / 2), std::max(1, sizes.back().height / 2));
  return sizes;
}

int TilesAcross(cv::Size size, int tileSize) { return (size.width + tileSize - 1) / tileSize; }

// JPEG tiles of this quality and above keep their colours at full resolution (no chroma subsampling).
constexpr int kFullChromaQuality = 90;

// One tile: the tile's part of `rows`, edge pixels repeated to fill it, as a complete JPEG stream (YCbCr) or
// as a zlib stream of its bytes.
EncodedTile EncodeTile(const cv::Mat& rgbRows, int column, const WriteSettings& settings) {
  const int t = settings.tileSize;
  const cv::Rect part(column * t, 0, std::min(t, rgbRows.cols - column * t), rgbRows.rows);
  cv::Mat tile;
  cv::copyMakeBorder(rgbRows(part), tile, 0, t - part.height, 0, t - part.width, cv::BORDER_REPLICATE);
  if (settings.lossless) {
    EncodedTile bytes(compressBound(static_cast<uLong>(tile.total() * 3)));
    uLongf size = bytes.size();
    if (compress2(bytes.data(), &size, tile.data, static_cast<uLong>(tile.total() * 3),
                  Z_DEFAULT_COMPRESSION) != Z_OK)
      throw SlideError("cannot compress a tile");
    bytes.resize(size);
    return bytes;
  }
  try {
    const vips::VImage image =
        vips::VImage::new_from_memory(tile.data, tile.total() * 3, t, t, 3, VIPS_FORMAT_UCHAR);
    VipsBlob* blob = image.jpegsave_buffer(vips::VImage::option()
                                               ->set("Q", settings.quality)
                                               ->set("strip", true)
                                               ->set("subsample_mode", settings.quality >= kFullChromaQuality
                                                                           ? VIPS_FOREIGN_SUBSAMPLE_OFF
                                                                           : VIPS_FOREIGN_SUBSAMPLE_ON));
    std::size_t size = 0;
    const auto* bytes = static_cast<const unsigned char*>(vips_blob_get(blob, &size));
    EncodedTile encoded(bytes, bytes + size);
    vips_area_unref(VIPS_AREA(blob));
    return encoded;
  } catch (const vips::VError&) {
    throw SlideError(VipsReason());
  }
}

// The tiles of one row of tiles (`rgbRows` holds its rows, the level's full width), encoded in parallel.
std::vector<EncodedTile> EncodeTileRow(const cv::Mat& rgbRows, const WriteSettings& settings) {
  std::vector<EncodedTile> tiles(static_cast<std::size_t>(TilesAcross(rgbRows.size(), settings.tileSize)));
  ParallelFor(tiles.size(), settings.threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) tiles[i] = EncodeTile(rgbRows, static_cast<int>(i), settings);
  });
  return tiles;
}

// Rows of a level of size `from` reduced to the next level's size `to`: each output pixel the mean of the
// 2 x 2 (or 2 x 1 where a side no longer halves) pixels it covers. A last odd row is dropped.
cv::Mat HalveRows(const cv::Mat& rows, cv::Size from, cv::Size to) {
  const bool halveDown = to.height != from.height;
  const int outRows = halveDown ? rows.rows / 2 : rows.rows;
  if (outRows == 0) return {};
  const cv::Rect used(0, 0, to.width != from.width ? to.width * 2 : from.width,
                      halveDown ? outRows * 2 : outRows);
  cv::Mat halved;
  cv::resize(rows(used), halved, cv::Size(to.width, outRows), 0, 0, cv::INTER_AREA);
  return halved;
}

// The rows of level 0's transform, fetched from libvips (which computes them on its worker threads).
cv::Mat FetchRows(const vips::VImage& image, int top, int height) {
  try {
    std::size_t size = 0;
    void* pixels = image.crop(0, top, image.width(), height).write_to_memory(&size);
    cv::Mat rows = cv::Mat(height, image.width(), CV_8UC3, pixels).clone();
    g_free(pixels);
    return rows;
  } catch (const vips::VError&) {
    throw SlideError(VipsReason());
  }
}

// Progress reports at most every kProgressInterval seconds, and once at the end.
class ProgressReporter {
 public:
  ProgressReporter(const ProgressCallback& callback, std::int64_t tilesTotal, std::int64_t pixelsPerTile)
      : callback_(callback), tilesTotal_(tilesTotal), pixelsPerTile_(pixelsPerTile) {}

  void Report(std::int64_t tilesDone) {
    if (!callback_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const bool last = tilesDone == tilesTotal_;
    if (!last && seconds - lastReport_ < kProgressInterval) return;
    lastReport_ = seconds;
    const double done =
        tilesTotal_ > 0 ? static_cast<double>(tilesDone) / static_cast<double>(tilesTotal_) : 1;
    Progress report;
    report.tilesTotal = tilesTotal_;
    report.tilesDone = tilesDone;
    report.seconds = seconds;
    report.megapixelsPerSecond =
        seconds > 0 ? static_cast<double>(tilesDone * pixelsPerTile_) / seconds / 1e6 : 0;
    report.secondsLeft = done > 0 && !last ? seconds * (1 - done) / done : 0;
    callback_(report);
  }

 private:
  const ProgressCallback& callback_;
  std::int64_t tilesTotal_;
  std::int64_t pixelsPerTile_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  double lastReport_ = -kProgressInterval;
};

// A number as the shortest text that reads back as the same value.
std::string NumberText(double value) {
  std::array<char, 32> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() ? std::string(text.data(), end) : std::string("0");
}

// The first line of every image's description: OpenSlide reads the slide's resolution, magnification and
// associated images from descriptions laid out this way.
constexpr std::string_view kDescriptionStart = "Aperio Image Library (histonorm)\n";

// Level 0's description: its size and compression, then the resolution (when the same both ways) and the
// magnification, each when the source states it.
std::string LevelDescription(const Slide& slide, const WriteSettings& settings) {
  const cv::Size size = slide.LevelSize(settings.level);
  std::string text =
      std::string(kDescriptionStart) + std::to_string(size.width) + "x" + std::to_string(size.height) + " (" +
      std::to_string(settings.tileSize) + "x" + std::to_string(settings.tileSize) + ") " +
      (settings.lossless ? std::string("Deflate") : "JPEG/RGB Q=" + std::to_string(settings.quality));
  if (const std::optional<cv::Point2d> microns = slide.MicronsPerPixel(settings.level);
      microns && std::abs(microns->x - microns->y) <= 1e-6 * microns->x)
    text += "|MPP = " + NumberText(microns->x);
  if (const std::optional<double> power = slide.ObjectivePower(settings.level))
    text += "|AppMag = " + NumberText(*power);
  return text;
}

// An associated image's description names it on its second line.
std::string AssociatedDescription(const std::string& name, cv::Size size) {
  return std::string(kDescriptionStart) + name + " " + std::to_string(size.width) + "x" +
         std::to_string(size.height);
}

void WriteAssociated(TiffOutput& tiff, const Slide& slide, const std::string& name) {
  const cv::Mat rgb = slide.ReadAssociated(name);
  TiffImageHeader header;
  header.size = rgb.size();
  header.reduced = true;
  header.description = AssociatedDescription(name, rgb.size());
  tiff.StartImage(header);
  tiff.WriteStrip(rgb);
  tiff.FinishImage();
}

// Writes level 0 straight into the TIFF while the lower levels are reduced from it row by row and their
// tiles kept in a TileStore, to be copied in after it.
class Pyramid {
 public:
  Pyramid(const std::vector<cv::Size>& sizes, const WriteSettings& settings, TiffOutput& tiff,
          TileStore& store)
      : sizes_(sizes), settings_(settings), tiff_(tiff), store_(store), levels_(sizes.size()) {}

  // requires: the rows of level 0 in order, at most a tile's height at a time.
  void AddLevel0Rows(const cv::Mat& rgbRows) { Add(0, rgbRows); }

  // Copies level `level`'s stored tiles into the TIFF (whose image for it has been started).
  void CopyStoredLevel(std::size_t level) {
    const std::vector<TileStore::Span>& spans = levels_.at(level).stored;
    for (std::size_t i = 0; i < spans.size(); ++i)
      tiff_.WriteRawTile(static_cast<std::uint32_t>(i), store_.Read(spans[i]));
  }

 private:
  struct LevelState {
    cv::Mat pending;  // rows received and not yet written
    int rowsWritten = 0;
    std::uint32_t tilesWritten = 0;
    std::vector<TileStore::Span> stored;  // for the lower levels
  };

  void Add(std::size_t level, const cv::Mat& rgbRows) {
    if (rgbRows.empty()) return;
    LevelState& state = levels_[level];
    state.pending.push_back(rgbRows);
    const int t = settings_.tileSize;
    const int height = sizes_[level].height;
    while (state.pending.rows >= t ||
           (state.pending.rows > 0 && state.rowsWritten + state.pending.rows >= height)) {
      const int rows = std::min({t, state.pending.rows, height - state.rowsWritten});
      const cv::Mat tileRow = state.pending.rowRange(0, rows);
      for (const EncodedTile& tile : EncodeTileRow(tileRow, settings_)) {
        if (level == 0)
          tiff_.WriteRawTile(state.tilesWritten++, tile);
        else
          state.stored.push_back(store_.Append(tile));
      }
      state.rowsWritten += rows;
      if (level + 1 < sizes_.size()) Add(level + 1, HalveRows(tileRow, sizes_[level], sizes_[level + 1]));
      state.pending = state.pending.rowRange(rows, state.pending.rows).clone();
    }
  }

  const std::vector<cv::Size>& sizes_;
  const WriteSettings& settings_;
  TiffOutput& tiff_;
  TileStore& store_;
  std::vector<LevelState> levels_;
};

}  // namespace

vips::VImage TransformImage(const vips::VImage& image, const FittedTransform& transform) {
  VipsImage* input = image.get_image();
  VipsImage* output = vips_image_new();
  // The transform is only read; libvips passes its client data as non-const pointers.
  if (vips_image_pipelinev(output, VIPS_DEMAND_STYLE_THINSTRIP, input, nullptr) != 0 ||
      vips_image_generate(output, StartSequence, GenerateRegion, StopSequence, input,
                          const_cast<FittedTransform*>(&transform)) != 0) {
    g_object_unref(output);
    throw SlideError(VipsReason());
  }
  // The input lives as long as the output.
  g_object_ref(input);
  vips_object_local(output, input);
  return vips::VImage(output);
}

void WriteSlide(const Slide& slide, const FittedTransform& transform, const std::string& outputPath,
                const WriteSettings& settings, const ProgressCallback& progress) {
  vips_concurrency_set(static_cast<int>(settings.threads));
  const cv::Size size = slide.LevelSize(settings.level);
  const int t = settings.tileSize;
  const std::vector<cv::Size> sizes = LevelSizes(size, t);
  const vips::VImage level0 = TransformImage(slide.Level(settings.level), transform);
  const std::vector<std::string>& associated = slide.AssociatedNames();
  const bool thumbnail = std::find(associated.begin(), associated.end(), "thumbnail") != associated.end();

  PendingFile pending(outputPath);
  {
    TiffOutput tiff(pending.Fd(), outputPath);
    TileStore store(FolderOf(outputPath));
    Pyramid pyramid(sizes, settings, tiff, store);
    const auto header = [&](std::size_t level) {
      TiffImageHeader h;
      h.size = sizes[level];
      h.tileSize = t;
      h.compression = settings.lossless                        ? TileCompression::kDeflate
                      : settings.quality >= kFullChromaQuality ? TileCompression::kJpegFullChroma
                                                               : TileCompression::kJpeg;
      h.reduced = level > 0;
      if (const std::optional<cv::Point2d> microns = slide.MicronsPerPixel(settings.level)) {
        h.micronsPerPixel = cv::Point2d(microns->x * size.width / sizes[level].width,
                                        microns->y * size.height / sizes[level].height);
      }
      if (level == 0) h.description = LevelDescription(slide, settings);
      return h;
    };
    ProgressReporter reporter(progress,
                              static_cast<std::int64_t>(TilesAcross(size, t)) * ((size.height + t - 1) / t),
                              static_cast<std::int64_t>(t) * t);
    tiff.StartImage(header(0));
    for (int top = 0; top < size.height; top += t) {
      pyramid.AddLevel0Rows(FetchRows(level0, top, std::min(t, size.height - top)));
      reporter.Report(static_cast<std::int64_t>(TilesAcross(size, t)) * (top / t + 1));
    }
    tiff.FinishImage();
    // The thumbnail comes second, where readers of this layout look for it; the other associated images
    // follow the levels.
    if (thumbnail) WriteAssociated(tiff, slide, "thumbnail");
    for (std::size_t level = 1; level < sizes.size(); ++level) {
      tiff.StartImage(header(level));
      pyramid.CopyStoredLevel(level);
      tiff.FinishImage();
    }
    for (const std::string& name : associated) {
      if (name != "thumbnail" && name.find_first_of(" \t\n|") == std::string::npos)
        WriteAssociated(tiff, slide, name);
    }
    tiff.Finish();
  }
  pending.RenameTo(outputPath);
}

}  // namespace histonorm::slide
