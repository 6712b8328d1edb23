#pragma once
// Model selection by leaving whole sources out: for a kernel width, the class functions are
// trained once per source on the samples of every other source, their decision values on the
// left-out source's samples are pooled for calibration, and each fold's model is judged end to end
// on the left-out source's images (stain purity, stain separation, agreement with a label-free
// estimate of the stains). A width that suits the training images but not another lab's scores
// badly here, which held-back pixels of the training images themselves would never show.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "classifier/colour_model_file.h"
#include "train/class_trainer.h"
#include "train/stain_check.h"

namespace histonorm::train {

struct TrainingSet {
  std::vector<FeatureVector> normalised;  // normalised features
  std::vector<int> labels;                // label group 0..2 (see pixel_sampler.h)
  std::vector<double> shares;             // share of stain 0 of a tissue sample (NaN for glass)
  std::vector<int> groups;                // source of each sample, 0..groupCount - 1
  int groupCount = 0;
};

struct HeldOutImage {
  std::string path;
  int group = 0;
  cv::Mat pixels;
  cv::Mat labels;
  std::optional<StainDirections> independent;
};

struct ImageCheck {
  std::string path;
  StainCheck check;
};

struct SourceFolds {
  double gamma = 0.0;
  bool ok = false;      // every fold trained and calibrated
  std::string problem;  // why not
  std::vector<ImageCheck> checks;
  std::array<std::vector<double>, 3> values;   // held-out decision values per class, all samples
  std::array<std::vector<double>, 3> targets;  // and their targets
  std::size_t passes = 0;                      // images that meet every criterion
  double meanDeviation = 0.0;
};

// Regression target of sample i for class `cls`. Glass: +1 for the background class, -1 for the
// stains. Tissue: -1 for the background class, and for the stains the stain's share mapped to
// -1 .. +1 (a pure stain +1, an even mix 0), so that the highest values, and with the stain
// sigmoid the highest probabilities, are left to pure pixels.
double Target(const TrainingSet& set, std::size_t i, int cls);

// The sigmoid of the stain classes: probability 0.5 for an even mix (value 0), 0.99 for a share
// of 0.95 (value 0.9).
Probabilistic StainSigmoid(const DecisionFunction& f);

// Requires a set with at least two groups and `frame` holding everything of a model but its
// classes (quantiser, mean histogram, directions, eigenvalues); `normaliser` is the one every
// class function uses.
SourceFolds LeaveSourcesOut(const TrainingSet& set, const std::vector<HeldOutImage>& images,
                            const ColourModelData& frame,
                            const dlib::vector_normalizer<FeatureVector>& normaliser, double gamma);

// Whether one image's check meets the quality bar (purity, separation, agreement).
bool MeetsBar(const StainCheck& check);

}  // namespace histonorm::train
