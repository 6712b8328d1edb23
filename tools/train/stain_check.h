#pragma once
// How well a colour model leads the stain method to an image's stains: the stain estimate is made
// exactly as the stain method makes it (classify, take each stain's most probable pixels, turn
// their mean colour into a stain vector) and compared with the image's labels and with a
// label-free estimate of its stains.
//
// Usage:
//   ColourClassifier_RVM_PCAVQ classifier(model);
//   const StainCheck c = CheckStainEstimate(classifier, image, labels, ImageStainDirections(image, pair));
#include <array>
#include <opencv2/core.hpp>
#include <optional>

#include "classifier/colour_classifier.h"
#include "train/stain_directions.h"

namespace histonorm::train {

struct StainCheck {
  bool usable = false;                // the stain method could use the estimate
  std::array<double, 2> purity{};     // share of each stain's chosen pixels that carry its label
  double separation = 0.0;            // degrees between the two estimated stain vectors
  std::array<double, 2> deviation{};  // degrees from the label-free estimate (NaN without one)
  StainDirections estimate;
};

// Requires an 8-bit BGR image and its label mask (0..4, see pixel_labels.h) of the same size.
// The classifier's and the estimate's console lines are not shown.
StainCheck CheckStainEstimate(ColourClassifier_RVM_PCAVQ& classifier, const cv::Mat& image,
                              const cv::Mat& labels, const std::optional<StainDirections>& independent);

}  // namespace histonorm::train
