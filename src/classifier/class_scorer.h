#pragma once
// One class's calibrated kernel function, q = 1 / (1 + exp(A f + B)) with
// f = sum_r alpha_r exp(-gamma |z - v_r|^2) - b and z = (x - m) * s element by element, evaluated
// for feature vectors made of a fixed image descriptor (the first D = L - 3 entries) followed by
// three colour values.
//
// The squared distance is a sum over the rows, so each kernel value is a product of one factor
// for the descriptor rows and one per colour row: exp(-gamma d) = exp(-gamma d_desc) *
// exp(-gamma d_0) * exp(-gamma d_1) * exp(-gamma d_2). For colours made of bytes (0..255, as pixels
// give them) the colour factors come from 256-entry tables per basis vector, built once per model;
// the descriptor factor, times alpha, is folded into the first table once per descriptor. A
// colour then costs three table rows, multiplied and summed over the basis vectors with SIMD
// (Highway, dispatched to the best instruction set of the processor), and the sigmoid takes the
// vector exp (std::exp beyond its range). The products round differently from the exp of the sum,
// and the vector exp may differ from std::exp in the last place: a byte colour's q differs from
// the direct evaluation by a few units in the last place of f's terms (under 1e-12 on the tests'
// models). The sum over basis vectors runs in eight interleaved
// partial sums added in a fixed order, the same bits on every instruction set; the vector exp's
// last bit may differ between targets with and without fused multiply-add. Score gives the bits
// of Scores.
//
// Colours that are not all bytes (fractions, negatives, values above 255, infinities, NaN) take
// the direct evaluation, which equals the library's own evaluation of the same ClassModel to the
// last bit (same operations in the same order; this file is compiled without floating-point
// contraction).
//
// Construction requires a model whose normaliser statistics and basis vectors all have one length
// L >= 3 and one weight per basis vector, and throws std::invalid_argument otherwise. The scorer
// starts with the all-zero descriptor. SetDescriptor requires D values. Score and Scores are const
// and allocation-free.
//
// Usage:
//   ClassScorer scorer(model);
//   scorer.SetDescriptor(descriptor);                    // D values, once per image
//   const double q = scorer.Score({200.0, 150.0, 220.0});  // blue, green, red
#include <array>
#include <cstddef>
#include <cstdint>
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
  // out[i] = Score({colour0[i], colour1[i], colour2[i]}) for i < out.size(), to the bit; requires
  // the three colour spans to be at least as long as out.
  void Scores(std::span<const double> colour0, std::span<const double> colour1,
              std::span<const double> colour2, std::span<double> out) const;

 private:
  // The colour rows of one basis vector, its weight, and the squared distance of the current
  // descriptor to its descriptor rows (for the direct evaluation).
  struct Basis {
    double descriptorDistance = 0.0;
    std::array<double, 3> colour{};
    double weight = 0.0;
  };

  // scores[i] = q of the colour (bytes0[i], bytes1[i], bytes2[i]) for i < count; scores has room
  // for count rounded up to a multiple of 8.
  void ByteScores(const std::uint8_t* bytes0, const std::uint8_t* bytes1, const std::uint8_t* bytes2,
                  std::size_t count, double* scores) const;
  double DirectScore(const std::array<double, 3>& colour) const;

  std::vector<double> mean_;              // L values
  std::vector<double> scale_;             // L values
  std::vector<double> basisDescriptors_;  // D values per basis vector, vector after vector
  std::vector<Basis> basis_;
  double gamma_ = 0.0;
  double bias_ = 0.0;
  double sigmoidA_ = 0.0;
  double sigmoidB_ = 0.0;
  // Basis vectors rounded up to a multiple of the partial sums; the extra ones weigh nothing.
  std::size_t padded_ = 0;
  // exp(-gamma (z_c(byte) - v_rc)^2) at [(c * 256 + byte) * padded_ + r], channels 0, 1, 2.
  std::vector<double> colourTables_;
  // Channel 0's factors times alpha_r exp(-gamma d_desc,r) for the current descriptor, same layout.
  std::vector<double> weightedTable_;
};

}  // namespace histonorm
