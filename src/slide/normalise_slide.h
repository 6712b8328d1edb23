#pragma once
// One slide, start to end: open it, read the sample its colours are measured on, fit a transform on that
// sample and stream the level through it into a pyramidal TIFF. Shared by histonorm-slide and the batch
// (whose list may name slides among its images).
//
//   const histonorm::slide::SlideJob job{.slidePath = "case.svs", .outputPath = "case.tif"};
//   histonorm::slide::NormaliseSlide(job, [&](const cv::Mat& sample) { return norm->Fit(sample); });
#include <histonorm/norm_base.h>

#include <functional>
#include <memory>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>

#include "slide/slide_reader.h"
#include "slide/slide_writer.h"
#include "slide/tile_transform.h"

namespace histonorm::slide {

// What a slide's colours are measured on.
enum class SampleKind {
  kReducedLevel,  // the level reduced to at most 4 MP: measured closer to the whole level (the default)
  kTissueMosaic,  // a mosaic of full-resolution tissue tiles
  kNone,          // nothing read: for a transform that measures nothing (the plain copy)
};

struct SlideJob {
  std::string slidePath;
  std::string outputPath;
  WriteSettings write;  // write.level is also the level the sample is taken from
  SampleKind sample = SampleKind::kReducedLevel;
};

// The step of NormaliseSlide that failed: the callers word their messages by it.
enum class SlideStep { kOpen, kFit, kWrite };

// A failed NormaliseSlide; what() says why (without the path).
class SlideJobError : public std::runtime_error {
 public:
  SlideJobError(SlideStep step, const std::string& reason) : std::runtime_error(reason), step_(step) {}
  [[nodiscard]] SlideStep Step() const { return step_; }

 private:
  SlideStep step_;
};

// A slide opened, with the sample its colours are measured on.
struct SampledSlide {
  Slide slide;
  cv::Mat sample;  // CV_8UC3 blue, green, red
};

// ensures: the slide at `path` and its sample of `level`.
// throws:  SlideError when the slide cannot be opened or read, or has no such level.
[[nodiscard]] SampledSlide OpenSampledSlide(const std::string& path, int level,
                                            SampleKind kind = SampleKind::kReducedLevel);

// Makes the transform a slide is streamed through from its sample.
using TransformFitter = std::function<std::unique_ptr<const FittedTransform>(const cv::Mat& bgrSample)>;

// ensures: job.outputPath holds the slide's level job.write.level, streamed through fit(sample), as
//          WriteSlide writes it.
// throws:  SlideJobError with the step that failed: kOpen for what OpenSampledSlide throws, kFit for any
//          exception of `fit`, kWrite for what WriteSlide throws. Nothing is left at job.outputPath then.
void NormaliseSlide(const SlideJob& job, const TransformFitter& fit, const ProgressCallback& progress = {});

// ensures: true when `path` names a slide rather than an ordinary image: its extension is .svs, .ndpi or
//          .mrxs (in any case), or it is .tif or .tiff and the file is a TIFF whose first image is tiled.
//          A TIFF that cannot be read counts as an ordinary image, whose loader then reports the problem.
[[nodiscard]] bool IsSlidePath(const std::string& path);

}  // namespace histonorm::slide
