#include "slide/normalise_slide.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>

namespace histonorm::slide {

namespace {

// A normalisation fitted on a slide's sample.
class FittedTileTransform final : public TileTransform {
 public:
  explicit FittedTileTransform(std::unique_ptr<const FittedTransform> fitted) : fitted_(std::move(fitted)) {}
  void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const override {
    bgrOut.create(bgrIn.size(), CV_8UC3);
    fitted_->Apply(bgrIn, bgrOut);
  }

 private:
  std::unique_ptr<const FittedTransform> fitted_;
};

// The TIFF tag that tiled images have and strip images do not.
constexpr std::uint16_t kTileWidthTag = 322;
// More entries than any real first directory holds: a file claiming more is not read further.
constexpr std::uint64_t kMaxDirectoryEntries = 4096;

// Reads an unsigned integer of `size` bytes in the file's byte order; nothing at the end of the file.
std::optional<std::uint64_t> ReadUnsigned(std::istream& in, int size, bool bigEndian) {
  std::array<unsigned char, 8> bytes{};
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return std::nullopt;
  std::uint64_t value = 0;
  for (int i = 0; i < size; ++i) {
    const auto byte =
        static_cast<std::uint64_t>(bytes[static_cast<std::size_t>(bigEndian ? i : size - 1 - i)]);
    value = (value << 8U) | byte;
  }
  return value;
}

// True when the file is a TIFF (classic or BigTIFF) whose first directory has tile tags.
bool IsTiledTiff(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<char, 2> order{};
  if (!in.read(order.data(), order.size())) return false;
  const std::string_view mark(order.data(), order.size());
  if (mark != "II" && mark != "MM") return false;
  const bool big = mark == "MM";
  const std::optional<std::uint64_t> version = ReadUnsigned(in, 2, big);
  if (version != 42U && version != 43U) return false;
  const bool bigTiff = version == 43U;
  if (bigTiff && !ReadUnsigned(in, 4, big)) return false;  // offset size and padding
  const int offsetSize = bigTiff ? 8 : 4;
  const std::optional<std::uint64_t> directory = ReadUnsigned(in, offsetSize, big);
  if (!directory) return false;
  in.seekg(static_cast<std::streamoff>(*directory));
  const std::optional<std::uint64_t> entries = ReadUnsigned(in, bigTiff ? 8 : 2, big);
  if (!entries) return false;
  const std::streamoff entrySize = bigTiff ? 20 : 12;
  for (std::uint64_t entry = 0; entry < std::min(*entries, kMaxDirectoryEntries); ++entry) {
    in.seekg(static_cast<std::streamoff>(*directory) + (bigTiff ? 8 : 2) +
             static_cast<std::streamoff>(entry) * entrySize);
    const std::optional<std::uint64_t> tag = ReadUnsigned(in, 2, big);
    if (!tag) return false;
    if (*tag == kTileWidthTag) return true;
  }
  return false;
}

std::string LowerExtension(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

}  // namespace

SampledSlide OpenSampledSlide(const std::string& path, int level, SampleKind kind) {
  Slide slide = Slide::Open(path);
  if (level >= slide.LevelCount()) throw SlideError("it has no level " + std::to_string(level));
  cv::Mat sample;
  if (kind == SampleKind::kReducedLevel) sample = ReadReducedLevel(slide, level);
  if (kind == SampleKind::kTissueMosaic) sample = ReadTissueMosaic(slide, level, {});
  return {std::move(slide), std::move(sample)};
}

void NormaliseSlide(const SlideJob& job, const TransformFitter& fit, const ProgressCallback& progress) {
  std::optional<SampledSlide> sampled;
  try {
    sampled = OpenSampledSlide(job.slidePath, job.write.level, job.sample);
  } catch (const SlideError& e) {
    throw SlideJobError(SlideStep::kOpen, e.what());
  }
  std::unique_ptr<TileTransform> transform;
  try {
    transform = fit(sampled->sample);
  } catch (const std::exception& e) {
    throw SlideJobError(SlideStep::kFit, e.what());
  }
  sampled->sample.release();  // not needed while streaming
  try {
    WriteSlide(sampled->slide, *transform, job.outputPath, job.write, progress);
  } catch (const SlideError& e) {
    throw SlideJobError(SlideStep::kWrite, e.what());
  }
}

std::unique_ptr<TileTransform> FitTileTransform(CNormBase& norm, const cv::Mat& bgrSample) {
  return std::make_unique<FittedTileTransform>(norm.Fit(bgrSample));
}

bool IsSlidePath(const std::string& path) {
  const std::string extension = LowerExtension(path);
  if (extension == ".svs" || extension == ".ndpi" || extension == ".mrxs") return true;
  return (extension == ".tif" || extension == ".tiff") && IsTiledTiff(path);
}

}  // namespace histonorm::slide
