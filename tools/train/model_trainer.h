#pragma once
// Trains a whole colour model from a set of images and writes it as a model file.
//
// Stages: labels (masks or automatic), octree quantiser over all training colours, code histograms
// of the images or their tiles, principal components, balanced seeded sampling, three
// one-against-the-rest classifiers on [image descriptor, blue, green, red], and a check on held-back
// labelled pixels. Progress goes to the given stream, one line per stage. The same inputs and seed
// give a byte-identical file. The file is written under a temporary name beside the target and
// renamed into place, so a failed run never leaves a partial model behind.
#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "train/pixel_labels.h"
#include "train/pixel_sampler.h"

namespace histonorm::train {

struct TrainOptions {
  std::vector<std::string> images;
  std::string outputPath;
  std::optional<std::string> labelDir;  // masks named after the images, with the extension .png
  std::optional<StainPair> stains;      // automatic labels when no mask directory is given
  int tileSide = 0;                     // 0: one histogram per image
  int pcaDims = 8;
  int samplesPerClass = 100;  // per class and image
  std::uint64_t seed = 1;
  std::optional<double> gamma;
};

struct TrainingSummary {
  std::string modelPath;
  std::size_t dims = 0;
  std::array<double, 3> heldBackAccuracy{};  // per class
  std::vector<LabelledPixel> heldBack;       // the pixels the accuracy was measured on
};

// Throws std::runtime_error (or TrainingError) with a message naming the offending input.
TrainingSummary TrainColourModel(const TrainOptions& options, std::ostream& progress);

}  // namespace histonorm::train
