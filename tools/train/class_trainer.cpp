#include "train/class_trainer.h"

#include <dlib/svm.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace histonorm::train {

namespace {

using Kernel = dlib::radial_basis_kernel<FeatureVector>;
using Trainer = dlib::rvm_trainer<Kernel>;

// Decision values beyond this size mean the weights ran away during training.
constexpr double kMaxDecisionValue = 1e4;
// The calibrated probabilities must put at least this share of each side on its own side of 0.5.
constexpr double kMinSeparation = 0.6;

Trainer MakeTrainer(double gamma) {
  Trainer trainer;
  trainer.set_kernel(Kernel(gamma));
  return trainer;
}

double BalancedAccuracy(const dlib::matrix<double, 1, 2>& result) { return (result(0) + result(1)) / 2.0; }

std::string ClassName(int cls) { return "class " + std::to_string(cls); }

// Why the calibrated function fails to give its own class the higher probability on the training
// samples with decision values of a sane size; empty when it does.
std::string SeparationProblem(const ClassModel& function, const std::vector<FeatureVector>& normalised,
                              const std::vector<double>& y) {
  const auto& pdf = function.function;
  std::size_t pos = 0, neg = 0, posRight = 0, negRight = 0;
  double largest = 0.0;
  for (std::size_t i = 0; i < normalised.size(); ++i) {
    const double f = pdf.decision_funct(normalised[i]);
    if (!std::isfinite(f)) return "decision values are not finite";
    largest = std::max(largest, std::fabs(f));
    const bool saysYes = pdf(normalised[i]) > 0.5;
    if (y[i] > 0) {
      ++pos;
      posRight += saysYes;
    } else {
      ++neg;
      negRight += !saysYes;
    }
  }
  const double posShare = double(posRight) / double(pos);
  const double negShare = double(negRight) / double(neg);
  if (largest > kMaxDecisionValue || !(pdf.alpha < 0.0) || posShare < kMinSeparation ||
      negShare < kMinSeparation) {
    return "sigmoid slope " + std::to_string(pdf.alpha) + ", decision values up to " +
           std::to_string(largest) + ", right on " + std::to_string(posShare) + " of the class and " +
           std::to_string(negShare) + " of the rest";
  }
  return {};
}

struct Candidate {
  double gamma = 0.0;
  double accuracy = 0.0;
};

// The kernel widths to try, best cross-validated accuracy first (the smaller width on ties); only
// the given width when there is one.
std::vector<Candidate> RankWidths(const std::vector<FeatureVector>& normalised, const std::vector<double>& y,
                                  const ClassTrainerSettings& settings) {
  const double unit = 1.0 / static_cast<double>(normalised.front().size());
  std::vector<double> widths;
  if (settings.gamma) {
    widths.push_back(*settings.gamma);
  } else {
    for (const double g : settings.gammaGrid) widths.push_back(g * unit);
  }
  std::vector<Candidate> ranked;
  for (const double g : widths) {
    ranked.push_back(
        {g, BalancedAccuracy(dlib::cross_validate_trainer(MakeTrainer(g), normalised, y, settings.folds))});
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const Candidate& a, const Candidate& b) {
    return a.accuracy > b.accuracy || (a.accuracy == b.accuracy && a.gamma < b.gamma);
  });
  return ranked;
}

}  // namespace

ClassFit TrainClass(const std::vector<FeatureVector>& samples, const std::vector<int>& labels, int cls,
                    const ClassTrainerSettings& settings) {
  if (samples.empty() || samples.size() != labels.size()) {
    throw std::invalid_argument("class training: samples and labels do not match");
  }
  std::vector<double> y(labels.size());
  std::size_t positives = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    y[i] = labels[i] == cls ? +1.0 : -1.0;
    positives += labels[i] == cls;
  }
  const auto folds = static_cast<std::size_t>(settings.folds);
  if (positives < folds || samples.size() - positives < folds) {
    throw TrainingError(ClassName(cls) + ": too few samples in or outside the class to train");
  }

  dlib::vector_normalizer<FeatureVector> normalizer;
  normalizer.train(samples);
  std::vector<FeatureVector> normalised;
  normalised.reserve(samples.size());
  for (const FeatureVector& s : samples) normalised.push_back(normalizer(s));

  // Training can still run away at a kernel width that cross-validated well, so the widths are
  // tried from the best cross-validated one down until a calibrated function separates.
  std::string lastFailure;
  for (const Candidate& c : RankWidths(normalised, y, settings)) {
    ClassFit fit;
    fit.gamma = c.gamma;
    fit.crossValidatedAccuracy = c.accuracy;
    fit.function.normalizer = normalizer;
    fit.function.function =
        dlib::train_probabilistic_decision_function(MakeTrainer(c.gamma), normalised, y, settings.folds);
    fit.basisVectors = static_cast<std::size_t>(fit.function.function.decision_funct.basis_vectors.size());
    lastFailure = SeparationProblem(fit.function, normalised, y);
    if (lastFailure.empty()) return fit;
    lastFailure = "at gamma " + std::to_string(c.gamma) + ", " + lastFailure;
  }
  throw TrainingError(
      ClassName(cls) + ": the calibrated classifier does not separate its class (" + lastFailure +
      "); labels that follow each pixel's colour exactly, or a badly chosen --gamma, make the "
      "training diverge");
}

}  // namespace histonorm::train
