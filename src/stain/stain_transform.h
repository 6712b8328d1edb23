#pragma once
// The stain method's normalisation of one measured image as a function of the colour: each stage
// splits a colour into stain channels with the image's own stain matrix, maps channels 0 and 1
// through the stage's fitted curves and recombines the channels with the target's stain matrix.
#include <array>
#include <opencv2/core.hpp>
#include <optional>

#include "base/colour_map_transform.h"
#include "deconv/colour_deconv.h"
#include "stain/cubic_bspline.h"
#include "stain/od_stain_params.h"

namespace histonorm {

// One fitted remapping stage: the stain matrix the image was split with, the curves of
// channels 0 and 1, and whether glass colours keep their bytes (KeepGlass).
struct FittedStage {
  CColourDeconv deconv;
  std::array<CubicBSpline, 2> curves;
  std::optional<OdStainParams> glass;
};

// Stain channels split by `own` back into colours with the target's stain matrix. With the label-free
// constants (`labelFree`, BimodalDeconvPCA) the residual channel keeps `own`'s third direction, so
// that what the two stains do not explain keeps its colour; otherwise it takes the target's.
// requires: `values` of `mapped`'s size; `mapped` an existing CV_8UC3 image.
void Recombine(const StainChannelPlanes& values, const CColourDeconv& own, const CColourDeconv& target,
               const std::optional<OdStainParams>& labelFree, cv::Mat& mapped);

// requires: `colours` is a 1 x N CV_8UC3 image.
// ensures: `mapped` is a 1 x N CV_8UC3 image of the stage's result for each colour.
void ApplyStage(const FittedStage& stage, const CColourDeconv& target, const cv::Mat& colours,
                cv::Mat& mapped);

class StainTransform final : public ColourMapTransform {
 public:
  // No first stage: the image's stain estimate was unusable and every colour is kept. No second
  // stage: the first stage's result is kept.
  StainTransform(const CColourDeconv& target, std::optional<FittedStage> first,
                 std::optional<FittedStage> second);

 private:
  void MapColours(const cv::Mat& colours, cv::Mat& mapped) const override;

  CColourDeconv target_;
  std::optional<FittedStage> first_;
  std::optional<FittedStage> second_;
};

}  // namespace histonorm
