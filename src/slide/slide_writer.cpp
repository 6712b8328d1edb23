#include "slide/slide_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>

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
    static_cast<const TileTransform*>(transform)->ApplyRgb(rgbIn, rgbOut);
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

// A file created under a fresh name in the target's folder, removed unless renamed into place.
class PendingFile {
 public:
  explicit PendingFile(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = folder + ".";
      for (int i = 0; i < 16; ++i) name += kLetters[pick(generator)];
      name += ".tmp";
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        path_ = name;
        return;
      }
      if (errno != EEXIST) break;
    }
    throw SlideError(std::string("cannot create a file there: ") + std::strerror(errno));
  }
  ~PendingFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  PendingFile(PendingFile&&) = delete;
  PendingFile& operator=(PendingFile&&) = delete;

  const std::string& Path() const { return path_; }

  // Flushes the file to the disk and renames it to `target`.
  void RenameTo(const std::string& target) {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced || ::rename(path_.c_str(), target.c_str()) != 0)
      throw SlideError(std::string("cannot put the file in place: ") + std::strerror(errno));
    path_.clear();
  }

 private:
  std::string path_;
};

// What the progress signal handlers share.
struct ProgressState {
  const ProgressCallback* callback = nullptr;
  std::int64_t tilesTotal = 0;
  double lastReport = -1;
  std::mutex mutex;
};

void Report(ProgressState& state, const VipsProgress& progress, bool last) {
  const std::lock_guard lock(state.mutex);
  const double seconds = progress.start != nullptr ? g_timer_elapsed(progress.start, nullptr) : 0;
  if (!last && state.lastReport >= 0 && seconds - state.lastReport < kProgressInterval) return;
  state.lastReport = seconds;
  const double done =
      progress.tpels > 0 ? static_cast<double>(progress.npels) / static_cast<double>(progress.tpels) : 1;
  Progress report;
  report.tilesTotal = state.tilesTotal;
  report.tilesDone =
      last ? state.tilesTotal : static_cast<std::int64_t>(done * static_cast<double>(state.tilesTotal));
  report.seconds = seconds;
  report.megapixelsPerSecond = seconds > 0 ? static_cast<double>(progress.npels) / seconds / 1e6 : 0;
  report.secondsLeft = done > 0 && !last ? seconds * (1 - done) / done : 0;
  (*state.callback)(report);
}

void OnEval(VipsImage* /*image*/, VipsProgress* progress, void* state) {
  Report(*static_cast<ProgressState*>(state), *progress, false);
}

void OnPostEval(VipsImage* /*image*/, VipsProgress* progress, void* state) {
  Report(*static_cast<ProgressState*>(state), *progress, true);
}

vips::VOption* SaveOptions(const Slide& slide, const WriteSettings& settings) {
  vips::VOption* options = vips::VImage::option()
                               ->set("tile", true)
                               ->set("tile_width", settings.tileSize)
                               ->set("tile_height", settings.tileSize)
                               ->set("pyramid", true)
                               ->set("bigtiff", true)
                               ->set("strip", true);
  if (settings.lossless) {
    options->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE);
  } else {
    options->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_JPEG)->set("Q", settings.quality);
  }
  // libvips takes the resolution in pixels per millimetre and writes it in pixels per centimetre.
  if (const std::optional<cv::Point2d> microns = slide.MicronsPerPixel(settings.level)) {
    options->set("xres", 1000.0 / microns->x)
        ->set("yres", 1000.0 / microns->y)
        ->set("resunit", VIPS_FOREIGN_TIFF_RESUNIT_CM);
  }
  return options;
}

}  // namespace

vips::VImage TransformImage(const vips::VImage& image, const TileTransform& transform) {
  VipsImage* input = image.get_image();
  VipsImage* output = vips_image_new();
  // The transform is only read; libvips passes its client data as non-const pointers.
  if (vips_image_pipelinev(output, VIPS_DEMAND_STYLE_THINSTRIP, input, nullptr) != 0 ||
      vips_image_generate(output, StartSequence, GenerateRegion, StopSequence, input,
                          const_cast<TileTransform*>(&transform)) != 0) {
    g_object_unref(output);
    throw SlideError(VipsReason());
  }
  // The input lives as long as the output.
  g_object_ref(input);
  vips_object_local(output, input);
  return vips::VImage(output);
}

void WriteSlide(const Slide& slide, const TileTransform& transform, const std::string& outputPath,
                const WriteSettings& settings, const ProgressCallback& progress) {
  vips_concurrency_set(static_cast<int>(settings.threads));
  const cv::Size size = slide.LevelSize(settings.level);
  ProgressState state;
  state.callback = &progress;
  state.tilesTotal = static_cast<std::int64_t>((size.width + settings.tileSize - 1) / settings.tileSize) *
                     ((size.height + settings.tileSize - 1) / settings.tileSize);
  const vips::VImage output = TransformImage(slide.Level(settings.level), transform);
  if (progress) {
    vips_image_set_progress(output.get_image(), TRUE);
    g_signal_connect(output.get_image(), "eval", G_CALLBACK(OnEval), &state);
    g_signal_connect(output.get_image(), "posteval", G_CALLBACK(OnPostEval), &state);
  }
  PendingFile pending(outputPath);
  try {
    output.tiffsave(pending.Path().c_str(), SaveOptions(slide, settings));
  } catch (const vips::VError&) {
    throw SlideError(VipsReason());
  }
  pending.RenameTo(outputPath);
}

}  // namespace histonorm::slide
