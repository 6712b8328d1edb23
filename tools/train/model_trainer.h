#pragma once
// Trains a whole colour model from a set of images and writes it as a model file.
//
// Stages: labels (masks or automatic), re-stained copies of every image (stain augmentation),
// octree quantiser over all their colours, code histograms of the images or their tiles, principal
// components, balanced seeded sampling, three one-against-the-rest classifiers on [image
// descriptor, blue, green, red] whose kernel width is chosen by leaving whole sources out, and a
// check on held-back labelled pixels. The source of an image is its file name without a trailing
// "_N" and extension (histolab_3.png: histolab). Progress goes to the given stream, one line per
// stage, and a table of the leave-one-source-out checks per image. The same inputs and seed give a
// byte-identical file. The file is written under a temporary name beside the target and
// renamed into place, so a failed run never leaves a partial model behind.
#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "train/pixel_labels.h"
#include "train/pixel_sampler.h"
#include "train/stain_check.h"

namespace histonorm::train {

struct TrainOptions {
  std::vector<std::string> images;
  std::string outputPath;
  std::optional<std::string> labelDir;  // masks named after the images, with the extension .png
  std::optional<StainPair> stains;      // automatic labels when no mask directory is given
  int tileSide = 0;                     // 0: one histogram per image
  int pcaDims = 8;
  int samplesPerClass = 100;  // per class and image (and per copy)
  int augment = 3;            // re-stained copies per image
  std::uint64_t seed = 1;
  std::optional<double> gamma;
  std::optional<std::string> checkModel;  // check this model instead of training one
};

struct SourceCheck {
  std::string path;
  StainCheck check;
  bool meetsBar = false;
};

struct TrainingSummary {
  std::string modelPath;
  double gamma = 0.0;
  std::vector<SourceCheck> sourceChecks;  // leave-one-source-out checks at the chosen width
  std::size_t dims = 0;
  std::array<double, 3> heldBackAccuracy{};  // per class
  std::vector<LabelledPixel> heldBack;       // the pixels the accuracy was measured on
};

// Throws std::runtime_error (or TrainingError) with a message naming the offending input.
TrainingSummary TrainColourModel(const TrainOptions& options, std::ostream& progress);

// Checks the model options.checkModel on the images (labels as for training) and prints the table
// of stain checks; returns the checks. Throws std::runtime_error (ModelLoadError for the model).
std::vector<SourceCheck> CheckColourModel(const TrainOptions& options, std::ostream& progress);

}  // namespace histonorm::train
