#include "train/source_selection.h"

#include <cmath>

#include "classifier/colour_classifier.h"
#include "train/class_trainer.h"
#include "train/pixel_sampler.h"

namespace histonorm::train {

namespace {

constexpr double kMinPurity = 0.9;
constexpr double kMinSeparationDegrees = 25.0;
constexpr double kMaxDeviationDegrees = 10.0;

// Value of a stain function at which the stain sigmoid reaches 0.99.
constexpr double kPureValue = 0.9;

struct Fold {
  std::array<DecisionFunction, 3> functions;
};

// Trains the three class functions without group `left` and records their values on its samples.
Fold TrainFold(const TrainingSet& set, int left, double gamma,
               std::vector<std::array<double, 3>>& heldOutValues) {
  std::vector<FeatureVector> x;
  std::array<std::vector<double>, 3> y;
  for (std::size_t i = 0; i < set.normalised.size(); ++i) {
    if (set.groups[i] == left) continue;
    x.push_back(set.normalised[i]);
    for (int k = 0; k < 3; ++k) y[std::size_t(k)].push_back(Target(set, i, k));
  }
  Fold fold;
  for (int k = 0; k < 3; ++k) {
    fold.functions[std::size_t(k)] = TrainDecision(x, y[std::size_t(k)], gamma, k == 2);
    for (std::size_t i = 0; i < set.normalised.size(); ++i) {
      if (set.groups[i] == left)
        heldOutValues[i][std::size_t(k)] = fold.functions[std::size_t(k)](set.normalised[i]);
    }
  }
  return fold;
}

// The calibration of fold `left`: held-out values of every other group.
Probabilistic CalibrateFold(const TrainingSet& set, const DecisionFunction& f,
                            const std::vector<std::array<double, 3>>& values, int left, int cls) {
  if (cls != 2) return StainSigmoid(f);
  std::vector<double> v, y;
  std::vector<FeatureVector> x;
  for (std::size_t i = 0; i < set.normalised.size(); ++i) {
    if (set.groups[i] == left) continue;
    v.push_back(values[i][std::size_t(cls)]);
    y.push_back(Target(set, i, cls));
    x.push_back(set.normalised[i]);
  }
  return CalibrateWithFallback(f, v, y, x, y, "class 2");
}

}  // namespace

double Target(const TrainingSet& set, std::size_t i, int cls) {
  const double share = set.shares[i];
  if (std::isnan(share)) return cls == 2 ? +1.0 : -1.0;
  if (cls == 2) return -1.0;
  return cls == 0 ? 2.0 * share - 1.0 : 1.0 - 2.0 * share;
}

Probabilistic StainSigmoid(const DecisionFunction& f) {
  return Probabilistic(-std::log(99.0) / kPureValue, 0.0, f);
}

bool MeetsBar(const StainCheck& c) {
  return c.usable && c.purity[0] >= kMinPurity && c.purity[1] >= kMinPurity &&
         c.separation >= kMinSeparationDegrees && !(c.deviation[0] > kMaxDeviationDegrees) &&
         !(c.deviation[1] > kMaxDeviationDegrees);
}

SourceFolds LeaveSourcesOut(const TrainingSet& set, const std::vector<HeldOutImage>& images,
                            const ColourModelData& frame,
                            const dlib::vector_normalizer<FeatureVector>& normaliser, double gamma) {
  SourceFolds result;
  result.gamma = gamma;
  std::vector<std::array<double, 3>> values(set.normalised.size());
  std::vector<Fold> folds;
  try {
    for (int g = 0; g < set.groupCount; ++g) folds.push_back(TrainFold(set, g, gamma, values));
    for (int g = 0; g < set.groupCount; ++g) {
      ColourModelData model = frame;
      for (int k = 0; k < 3; ++k) {
        model.classes[std::size_t(k)].normalizer = normaliser;
        model.classes[std::size_t(k)].function =
            CalibrateFold(set, folds[std::size_t(g)].functions[std::size_t(k)], values, g, k);
      }
      ColourClassifier_RVM_PCAVQ classifier(model);
      for (const HeldOutImage& image : images) {
        if (image.group != g) continue;
        result.checks.push_back(
            {image.path, CheckStainEstimate(classifier, image.pixels, image.labels, image.independent)});
      }
    }
  } catch (const TrainingError& e) {
    result.problem = e.what();
    return result;
  }
  for (int k = 0; k < 3; ++k) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      result.values[std::size_t(k)].push_back(values[i][std::size_t(k)]);
      result.targets[std::size_t(k)].push_back(Target(set, i, k));
    }
  }
  double deviation = 0.0;
  std::size_t counted = 0;
  for (const ImageCheck& c : result.checks) {
    result.passes += MeetsBar(c.check);
    for (const double d : c.check.deviation) {
      deviation += std::isfinite(d) ? d : 90.0;
      ++counted;
    }
  }
  result.meanDeviation = counted ? deviation / double(counted) : 0.0;
  result.ok = true;
  return result;
}

}  // namespace histonorm::train
