#pragma once
// One class's calibrated kernel function, q = 1 / (1 + exp(A f + B)) with
// f = sum_r alpha_r exp(-gamma |z - v_r|^2) - b and z = (x - m) * s element by element, evaluated
// for feature vectors made of a fixed image descriptor (the first D = L - 3 entries) followed by
// three colour values.
//
// Every value equals the library's own evaluation of the same ClassModel to the last bit: the same
// operations run in the same order (each squared distance is summed over the feature rows in
// order, the weighted kernel values over the basis vectors in order). The speed comes from doing
// without the library's temporaries and from summing the descriptor rows of each squared distance
// once per descriptor: being the leading rows, their partial sum is the exact prefix of every
// colour's sum.
//
// Construction requires a model whose normaliser statistics and basis vectors all have one length
// L >= 3 and one weight per basis vector, and throws std::invalid_argument otherwise. The scorer
// starts with the all-zero descriptor. SetDescriptor requires D values. Score and Scores are const
// and allocation-free.
//
// Scores evaluates several colours at once with SIMD, one colour per lane: each lane runs exactly
// Score's operations in Score's order (this file is compiled without floating-point contraction),
// and the exponentials are the same std::exp, taken lane by lane, so it gives Score's bits.
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "classifier/colour_model_file.h"

namespace histonorm {

class ClassScorer {
 public:
  explicit ClassScorer(const ClassModel& model);

  // Number of descriptor entries D (feature length minus 3).
  std::size_t DescriptorLength() const { return mean_.size() - 3; }

  // Fixes the descriptor part of the feature vector. Throws std::invalid_argument when the length
  // is not DescriptorLength().
  void SetDescriptor(std::span<const double> descriptor);

  // The class score q of the feature vector (descriptor, colour).
  double Score(const std::array<double, 3>& colour) const;
  // out[i] = Score({colour0[i], colour1[i], colour2[i]}) for i < out.size(); requires the three
  // colour spans to be at least as long as out.
  void Scores(std::span<const double> colour0, std::span<const double> colour1,
              std::span<const double> colour2, std::span<double> out) const;

 private:
  // The colour rows of one basis vector, its weight, and the squared distance of the current
  // descriptor to its descriptor rows.
  struct Basis {
    double descriptorDistance = 0.0;
    std::array<double, 3> colour{};
    double weight = 0.0;
  };

  std::vector<double> mean_;              // L values
  std::vector<double> scale_;             // L values
  std::vector<double> basisDescriptors_;  // D values per basis vector, vector after vector
  std::vector<Basis> basis_;
  double gamma_ = 0.0;
  double bias_ = 0.0;
  double sigmoidA_ = 0.0;
  double sigmoidB_ = 0.0;
};

}  // namespace histonorm
