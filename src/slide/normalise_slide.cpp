#include "slide/normalise_slide.h"

#include <tiffio.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

namespace histonorm::slide {

namespace {

// libtiff's messages about a file that is not a readable TIFF are dropped: the answer is "not tiled".
int IgnoreMessage(TIFF* /*tiff*/, void* /*user*/, const char* /*module*/, const char* /*format*/,
                  va_list /*arguments*/) {
  return 1;
}

// True when the file is a TIFF (classic or BigTIFF) whose first image is stored in tiles.
bool IsTiledTiff(const std::string& path) {
  const std::unique_ptr<TIFFOpenOptions, decltype(&TIFFOpenOptionsFree)> options(TIFFOpenOptionsAlloc(),
                                                                                 &TIFFOpenOptionsFree);
  if (!options) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), IgnoreMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), IgnoreMessage, nullptr);
  const std::unique_ptr<TIFF, decltype(&TIFFClose)> tiff(TIFFOpenExt(path.c_str(), "r", options.get()),
                                                         &TIFFClose);
  return tiff && TIFFIsTiled(tiff.get()) != 0;
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
  std::unique_ptr<const FittedTransform> transform;
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

bool IsSlidePath(const std::string& path) {
  const std::string extension = LowerExtension(path);
  if (extension == ".svs" || extension == ".ndpi" || extension == ".mrxs") return true;
  return (extension == ".tif" || extension == ".tiff") && IsTiledTiff(path);
}

}  // namespace histonorm::slide
