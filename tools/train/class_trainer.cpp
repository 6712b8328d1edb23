#include "train/class_trainer.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace histonorm::train {

namespace {

// The calibrated probabilities must be right (on the right side of 0.5) on at least this share of
// held-out samples, averaged over the class and the rest.
constexpr double kMinBalancedAccuracy = 0.55;

std::string Describe(double value) {
  std::ostringstream s;
  s << value;
  return s.str();
}

}  // namespace

DecisionFunction TrainDecision(const std::vector<FeatureVector>& normalised,
                               const std::vector<double>& targets, double gamma, bool classify) {
  const bool bothSides = std::any_of(targets.begin(), targets.end(), [](double t) { return t > 0; }) &&
                         std::any_of(targets.begin(), targets.end(), [](double t) { return t < 0; });
  if (normalised.size() != targets.size() || !bothSides) {
    throw TrainingError("class training: the samples do not hold both sides of the class");
  }
  dlib::krr_trainer<Kernel> trainer;
  trainer.set_kernel(Kernel(gamma));
  trainer.set_max_basis_size(kMaxBasisVectors);
  if (classify) {
    trainer.use_classification_loss_for_loo_cv();
  } else {
    trainer.use_regression_loss_for_loo_cv();
  }
  DecisionFunction function = trainer.train(normalised, targets);
  for (const FeatureVector& s : normalised) {
    if (!std::isfinite(function(s))) {
      throw TrainingError("class training at gamma " + Describe(gamma) + ": decision values are not finite");
    }
  }
  return function;
}

Probabilistic Calibrate(const DecisionFunction& function, const std::vector<double>& heldOutValues,
                        const std::vector<double>& heldOutTargets, const std::string& what) {
  if (!dlib::is_binary_classification_problem(heldOutValues, heldOutTargets)) {
    throw TrainingError(what + ": no held-out values on one side of the class");
  }
  const auto [slope, offset] = dlib::learn_platt_scaling(heldOutValues, heldOutTargets);
  std::size_t pos = 0, neg = 0, posRight = 0, negRight = 0;
  for (std::size_t i = 0; i < heldOutValues.size(); ++i) {
    const bool saysYes = 1.0 / (1.0 + std::exp(slope * heldOutValues[i] + offset)) > 0.5;
    if (heldOutTargets[i] > 0) {
      ++pos;
      posRight += saysYes;
    } else {
      ++neg;
      negRight += !saysYes;
    }
  }
  const double posShare = double(posRight) / double(pos);
  const double negShare = double(negRight) / double(neg);
  if (!(slope < 0.0) || (posShare + negShare) / 2.0 < kMinBalancedAccuracy) {
    throw TrainingError(what +
                        ": the classifier does not separate its class on held-out images (sigmoid slope " +
                        Describe(slope) + ", right on " + Describe(posShare) + " of the class and " +
                        Describe(negShare) + " of the rest)");
  }
  return Probabilistic(slope, offset, function);
}

Probabilistic CalibrateWithFallback(const DecisionFunction& function,
                                    const std::vector<double>& heldOutValues,
                                    const std::vector<double>& heldOutTargets,
                                    const std::vector<FeatureVector>& trainingSamples,
                                    const std::vector<double>& trainingTargets, const std::string& what) {
  try {
    return Calibrate(function, heldOutValues, heldOutTargets, what);
  } catch (const TrainingError&) {
    std::vector<double> values;
    values.reserve(trainingSamples.size());
    for (const FeatureVector& s : trainingSamples) values.push_back(function(s));
    return Calibrate(function, values, trainingTargets, what);
  }
}

}  // namespace histonorm::train
