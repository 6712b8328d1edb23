#include "train/class_trainer.h"

#include <dlib/svm.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>

namespace histonorm::train {

namespace {

using Kernel = dlib::radial_basis_kernel<FeatureVector>;
using Trainer = dlib::rvm_trainer<Kernel>;
using DecisionFunction = dlib::decision_function<Kernel>;
using Probabilistic = dlib::probabilistic_decision_function<Kernel>;

// Decision values beyond this size mean the weights ran away during training.
constexpr double kMaxDecisionValue = 1e4;
// The calibrated probabilities must put at least this share of each side on its own side of 0.5.
constexpr double kMinSeparation = 0.6;

Trainer MakeTrainer(double gamma) {
  Trainer trainer;
  trainer.set_kernel(Kernel(gamma));
  return trainer;
}

std::string ClassName(int cls) { return "class " + std::to_string(cls); }

// Decision values of a trained function, or nothing when any is not finite or absurdly large
// (the relevance vector training occasionally runs away on one subset of the samples).
std::optional<std::vector<double>> SaneDecisionValues(const DecisionFunction& df,
                                                      const std::vector<FeatureVector>& samples) {
  std::vector<double> values;
  values.reserve(samples.size());
  for (const FeatureVector& s : samples) {
    const double f = df(s);
    if (!std::isfinite(f) || std::fabs(f) > kMaxDecisionValue) return std::nullopt;
    values.push_back(f);
  }
  return values;
}

// Held-out decision values of one kernel width over k folds (sample i is held out in fold
// i mod k). A fold whose training ran away contributes no values and counts as wrong throughout.
struct CrossValidation {
  double gamma = 0.0;
  double accuracy = 0.0;  // mean of the accuracies on the class and on the rest
  std::vector<double> scores;
  std::vector<double> labels;
};

CrossValidation CrossValidate(double gamma, const std::vector<FeatureVector>& samples,
                              const std::vector<double>& y, long folds) {
  CrossValidation cv;
  cv.gamma = gamma;
  const Trainer trainer = MakeTrainer(gamma);
  std::array<std::size_t, 2> right{}, total{};  // [0] the rest, [1] the class
  for (long fold = 0; fold < folds; ++fold) {
    std::vector<FeatureVector> trainX, testX;
    std::vector<double> trainY, testY;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const bool held = static_cast<long>(i % static_cast<std::size_t>(folds)) == fold;
      (held ? testX : trainX).push_back(samples[i]);
      (held ? testY : trainY).push_back(y[i]);
    }
    for (const double label : testY) ++total[label > 0];
    if (!dlib::is_binary_classification_problem(trainX, trainY)) continue;
    const auto values = SaneDecisionValues(trainer.train(trainX, trainY), testX);
    if (!values) continue;
    for (std::size_t i = 0; i < testX.size(); ++i) {
      right[testY[i] > 0] += ((*values)[i] > 0) == (testY[i] > 0);
      cv.scores.push_back((*values)[i]);
      cv.labels.push_back(testY[i]);
    }
  }
  cv.accuracy = (double(right[0]) / double(total[0]) + double(right[1]) / double(total[1])) / 2.0;
  return cv;
}

// Why the calibrated function fails to give its own class the higher probability on the training
// samples; empty when it does.
std::string SeparationProblem(const Probabilistic& pdf, const std::vector<double>& values,
                              const std::vector<double>& y) {
  std::size_t pos = 0, neg = 0, posRight = 0, negRight = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const bool saysYes = 1.0 / (1.0 + std::exp(pdf.alpha * values[i] + pdf.beta)) > 0.5;
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
  if (!(pdf.alpha < 0.0) || posShare < kMinSeparation || negShare < kMinSeparation) {
    return "sigmoid slope " + std::to_string(pdf.alpha) + ", right on " + std::to_string(posShare) +
           " of the class and " + std::to_string(negShare) + " of the rest";
  }
  return {};
}

// Trains on all samples at the width of `cv` and calibrates with its held-out values; the reason
// for refusing the result when it does not separate.
std::pair<std::optional<Probabilistic>, std::string> TrainCalibrated(
    const CrossValidation& cv, const std::vector<FeatureVector>& samples, const std::vector<double>& y) {
  const std::string at = "at gamma " + std::to_string(cv.gamma) + ": ";
  if (!dlib::is_binary_classification_problem(cv.scores, cv.labels)) {
    return {std::nullopt, at + "the cross-validation training ran away on every fold"};
  }
  const DecisionFunction df = MakeTrainer(cv.gamma).train(samples, y);
  const auto values = SaneDecisionValues(df, samples);
  if (!values) return {std::nullopt, at + "decision values are not finite or run into the millions"};
  const std::pair<double, double> sigmoid = dlib::learn_platt_scaling(cv.scores, cv.labels);
  Probabilistic pdf(sigmoid.first, sigmoid.second, df);
  std::string problem = SeparationProblem(pdf, *values, y);
  if (!problem.empty()) return {std::nullopt, at + problem};
  return {std::move(pdf), {}};
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
  if (settings.folds < 2 || positives < 2 * folds || samples.size() - positives < 2 * folds) {
    throw TrainingError(ClassName(cls) + ": too few samples in or outside the class to train");
  }

  dlib::vector_normalizer<FeatureVector> normalizer;
  normalizer.train(samples);
  std::vector<FeatureVector> normalised;
  normalised.reserve(samples.size());
  for (const FeatureVector& s : samples) normalised.push_back(normalizer(s));

  std::vector<CrossValidation> ranked;
  for (const double g : settings.gamma ? std::vector<double>{*settings.gamma} : settings.gammaGrid) {
    ranked.push_back(CrossValidate(g, normalised, y, settings.folds));
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const CrossValidation& a, const CrossValidation& b) {
    return a.accuracy > b.accuracy;
  });

  // Training can still run away at a width that cross-validated well, so the widths are tried
  // from the best cross-validated one down until a calibrated function separates.
  std::string lastProblem;
  for (const CrossValidation& cv : ranked) {
    auto [pdf, problem] = TrainCalibrated(cv, normalised, y);
    if (!pdf) {
      lastProblem = problem;
      continue;
    }
    ClassFit fit;
    fit.gamma = cv.gamma;
    fit.crossValidatedAccuracy = cv.accuracy;
    fit.basisVectors = static_cast<std::size_t>(pdf->decision_funct.basis_vectors.size());
    fit.function.normalizer = normalizer;
    fit.function.function = std::move(*pdf);
    return fit;
  }
  throw TrainingError(
      ClassName(cls) + ": no kernel width gives a classifier that separates its class (" + lastProblem +
      "); labels that follow each pixel's colour exactly, or a badly chosen --gamma, make the "
      "training diverge");
}

}  // namespace histonorm::train
