#pragma once
// Training of one class's probabilistic kernel classifier (one against the rest).
//
// The feature vectors are normalised (mean and scale per feature), a relevance vector machine with a
// radial basis kernel is trained, its kernel width chosen by cross-validation on a small grid unless
// one is given, and its decision values are calibrated into probabilities with a sigmoid fitted on
// k-fold held-out decision values. A calibrated function that does not separate its class (flat or
// inverted sigmoid, diverged decision values) is refused with TrainingError, so a model that would
// give every pixel the same probabilities is never written.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <vector>

#include "classifier/colour_model_file.h"

namespace histonorm::train {

class TrainingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ClassTrainerSettings {
  std::optional<double> gamma;  // kernel width; chosen by cross-validation when absent
  std::vector<double> gammaGrid{0.01, 0.03, 0.1, 0.3};  // candidates for features of unit variance
  long folds = 3;                                       // cross-validation and calibration folds
};

struct ClassFit {
  ClassModel function;
  double gamma = 0.0;
  double crossValidatedAccuracy = 0.0;  // mean of the accuracies on the class and on the rest
  std::size_t basisVectors = 0;
};

// Requires samples of one common length in a random order, labels 0..2 of the same count, and at
// least `folds` samples in and outside class `cls`.
ClassFit TrainClass(const std::vector<FeatureVector>& samples, const std::vector<int>& labels, int cls,
                    const ClassTrainerSettings& settings);

}  // namespace histonorm::train
