#pragma once
// Training of one class's probabilistic kernel classifier (one against the rest).
//
// The classifier is a radial basis kernel machine with a small basis (kernel ridge regression on
// targets in -1 .. +1, the ridge chosen by leave-one-out error), trained on normalised features,
// and a sigmoid that turns its decision values into probabilities. The sigmoid is fitted on decision
// values of samples the function did not see (the caller hands them in: values of images from
// sources left out of training), so the probabilities say how far a decision can be trusted on
// images of another lab. A calibrated function that does not separate its class (flat or inverted
// sigmoid, values that are not finite) is refused with TrainingError, so a model that would give
// every pixel the same probabilities is never written.
//
// Usage:
//   const DecisionFunction f = TrainDecision(normalised, targets, gamma, true);
//   const Probabilistic p = Calibrate(f, heldOutValues, heldOutTargets, "class 0");
#include <dlib/svm.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "classifier/colour_model_file.h"

namespace histonorm::train {

class TrainingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Kernel = dlib::radial_basis_kernel<FeatureVector>;
using DecisionFunction = dlib::decision_function<Kernel>;
using Probabilistic = dlib::probabilistic_decision_function<Kernel>;

// Basis vectors of one class function: the cost of classifying a colour grows with it.
inline constexpr unsigned long kMaxBasisVectors = 40;

// Requires samples of one common length with targets in -1 .. +1, some on each side of 0; the
// ridge is chosen by the leave-one-out classification error when `classify`, else by the squared
// error. Throws TrainingError when the function's values on the samples are not finite.
DecisionFunction TrainDecision(const std::vector<FeatureVector>& normalised,
                               const std::vector<double>& targets, double gamma, bool classify);

// Fits the sigmoid on held-out decision values and their targets. Throws TrainingError naming `what`
// when the values hold no sample on one side or the sigmoid does not separate them.
Probabilistic Calibrate(const DecisionFunction& function, const std::vector<double>& heldOutValues,
                        const std::vector<double>& heldOutTargets, const std::string& what);

// Calibrate on held-out values, or, when they do not separate (a class that is rare in some
// sources, such as glass in images of dense tissue), on the function's values on its own training
// samples. Throws TrainingError when neither separates.
Probabilistic CalibrateWithFallback(const DecisionFunction& function,
                                    const std::vector<double>& heldOutValues,
                                    const std::vector<double>& heldOutTargets,
                                    const std::vector<FeatureVector>& trainingSamples,
                                    const std::vector<double>& trainingTargets, const std::string& what);

}  // namespace histonorm::train
