#include "classifier/class_scorer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// Compiles the kernel sums below once per instruction set; HWY_DYNAMIC_DISPATCH picks the best one
// the processor runs.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "classifier/class_scorer.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
// After highway.h, once per instruction set.
#include <hwy/contrib/math/math-inl.h>

// The basis vectors' weighted kernel values of each colour are summed into this many partial
// sums (basis vector r into sum r % kPartials), which are then added in one fixed order: every
// vector width (1, 2, 4 or 8 doubles) gives the same bits.
#ifndef HISTONORM_CLASS_SCORER_PARTIALS
#define HISTONORM_CLASS_SCORER_PARTIALS
namespace histonorm::scorer_detail {
inline constexpr std::size_t kPartials = 8;
// The largest exponent the vector exp takes.
inline constexpr double kVectorExpLimit = 706.0;

// q = 1 / (1 + exp(a (f - bias) + b)) of a kernel sum f.
struct Sigmoid {
  double bias = 0.0;
  double a = 0.0;
  double b = 0.0;
  double operator()(double kernelSum) const { return 1 / (1 + std::exp(a * (kernelSum - bias) + b)); }
};
}  // namespace histonorm::scorer_detail
#endif

HWY_BEFORE_NAMESPACE();
namespace histonorm::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// scores[i] = 1 / (1 + exp(sigmoidA (f_i - bias) + sigmoidB)), where f_i is the sum over r < padded
// of first[b0 padded + r] * second[b1 padded + r] * third[b2 padded + r] (multiplied in that order)
// with (b0, b1, b2) = (bytes0[i], bytes1[i], bytes2[i]). Requires padded to be a multiple of
// kPartials and room for `count` rounded up to kPartials in scores.
void KernelScores(const double* first, const double* second, const double* third, std::size_t padded,
                  const std::uint8_t* bytes0, const std::uint8_t* bytes1, const std::uint8_t* bytes2,
                  std::size_t count, const scorer_detail::Sigmoid& sigmoid, double* scores) {
  using scorer_detail::kPartials;
  const hn::CappedTag<double, kPartials> d;
  const std::size_t lanes = hn::Lanes(d);
  HWY_ALIGN double partial[kPartials];
  for (std::size_t i = 0; i < count; ++i) {
    const double* row0 = first + bytes0[i] * padded;
    const double* row1 = second + bytes1[i] * padded;
    const double* row2 = third + bytes2[i] * padded;
    // One chain per group of lanes; the groups are independent, so they overlap in the processor.
    for (std::size_t k = 0; k < kPartials; k += lanes) {
      auto acc = hn::Zero(d);
      for (std::size_t r = k; r < padded; r += kPartials) {
        const auto product =
            hn::Mul(hn::Mul(hn::LoadU(d, row0 + r), hn::LoadU(d, row1 + r)), hn::LoadU(d, row2 + r));
        acc = hn::Add(acc, product);
      }
      hn::Store(acc, d, partial + k);
    }
    scores[i] = ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
                ((partial[4] + partial[5]) + (partial[6] + partial[7]));
  }
  // The sigmoid, lane by lane; exponents beyond the vector exp's range (and NaN) take std::exp.
  const auto bias = hn::Set(d, sigmoid.bias);
  const auto a = hn::Set(d, sigmoid.a);
  const auto b = hn::Set(d, sigmoid.b);
  const auto one = hn::Set(d, 1.0);
  const auto limit = hn::Set(d, scorer_detail::kVectorExpLimit);
  for (std::size_t i = 0; i < count; i += lanes) {
    const auto x = hn::Add(hn::Mul(a, hn::Sub(hn::LoadU(d, scores + i), bias)), b);
    if (!hn::AllTrue(d, hn::Le(x, limit))) {
      for (std::size_t l = 0; l < lanes; ++l) scores[i + l] = sigmoid(scores[i + l]);
      continue;
    }
    hn::StoreU(hn::Div(one, hn::Add(one, hn::Exp(d, x))), d, scores + i);
  }
}

}  // namespace histonorm::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace histonorm {

HWY_EXPORT(KernelScores);

namespace {

using scorer_detail::kPartials;
constexpr std::size_t kByteValues = 256;
// Colours scored together by Scores (on the stack).
constexpr std::size_t kChunk = 64;

std::vector<double> Values(const dlib::matrix<double>& column) {
  return std::vector<double>(column.begin(), column.end());
}

// True when v is one of the byte values 0..255, which is then written to `byte`.
bool ToByte(double v, std::uint8_t& byte) {
  if (!(v >= 0.0 && v <= 255.0)) return false;
  const auto b = static_cast<std::uint8_t>(v);
  if (static_cast<double>(b) != v) return false;
  byte = b;
  return true;
}

}  // namespace

ClassScorer::ClassScorer(const ClassModel& model)
    : mean_(Values(model.normalizer.means())), scale_(Values(model.normalizer.std_devs())) {
  const auto& decision = model.function.decision_funct;
  const auto length = static_cast<long>(mean_.size());
  if (length < 3 || model.normalizer.means().nc() != 1 || scale_.size() != mean_.size()) {
    throw std::invalid_argument("class scorer: the normaliser needs two columns of one length, at least 3");
  }
  if (decision.alpha.nr() != decision.basis_vectors.nr()) {
    throw std::invalid_argument("class scorer: " + std::to_string(decision.alpha.nr()) + " weights for " +
                                std::to_string(decision.basis_vectors.nr()) + " basis vectors");
  }
  const std::size_t dims = DescriptorLength();
  basis_.resize(static_cast<std::size_t>(decision.basis_vectors.nr()));
  basisDescriptors_.reserve(basis_.size() * dims);
  for (std::size_t r = 0; r < basis_.size(); ++r) {
    const auto& v = decision.basis_vectors(static_cast<long>(r));
    if (v.nr() != length || v.nc() != 1) {
      throw std::invalid_argument("class scorer: basis vector " + std::to_string(r) +
                                  " differs in length from the normaliser");
    }
    for (std::size_t i = 0; i < dims; ++i) basisDescriptors_.push_back(v(static_cast<long>(i)));
    for (std::size_t c = 0; c < 3; ++c) basis_[r].colour[c] = v(static_cast<long>(dims + c));
    basis_[r].weight = decision.alpha(static_cast<long>(r));
  }
  gamma_ = decision.kernel_function.gamma;
  bias_ = decision.b;
  sigmoidA_ = model.function.alpha;
  sigmoidB_ = model.function.beta;

  padded_ = (basis_.size() + kPartials - 1) / kPartials * kPartials;
  colourTables_.assign(3 * kByteValues * padded_, 0.0);
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t byte = 0; byte < kByteValues; ++byte) {
      const double z = (static_cast<double>(byte) - mean_[dims + c]) * scale_[dims + c];
      double* row = colourTables_.data() + ((c * kByteValues + byte) * padded_);
      for (std::size_t r = 0; r < basis_.size(); ++r) {
        const double diff = z - basis_[r].colour[c];
        row[r] = std::exp(-gamma_ * (diff * diff));
      }
    }
  }
  weightedTable_.assign(kByteValues * padded_, 0.0);
  SetDescriptor(std::vector<double>(dims, 0.0));
}

void ClassScorer::SetDescriptor(std::span<const double> descriptor) {
  const std::size_t dims = DescriptorLength();
  if (descriptor.size() != dims) {
    throw std::invalid_argument("class scorer: descriptor of " + std::to_string(descriptor.size()) +
                                " values, the model has " + std::to_string(dims));
  }
  std::vector<double> z(dims);
  for (std::size_t i = 0; i < dims; ++i) z[i] = (descriptor[i] - mean_[i]) * scale_[i];
  std::vector<double> factor(basis_.size());
  const double* v = basisDescriptors_.data();
  for (std::size_t r = 0; r < basis_.size(); ++r) {
    // The library's squared distance starts from zero and adds each row's square in row order.
    double d = 0.0;
    for (std::size_t i = 0; i < dims; ++i, ++v) {
      const double diff = z[i] - *v;
      d += diff * diff;
    }
    basis_[r].descriptorDistance = d;
    factor[r] = basis_[r].weight * std::exp(-gamma_ * d);
  }
  for (std::size_t byte = 0; byte < kByteValues; ++byte) {
    const double* colourRow = colourTables_.data() + (byte * padded_);
    double* row = weightedTable_.data() + (byte * padded_);
    for (std::size_t r = 0; r < basis_.size(); ++r) row[r] = factor[r] * colourRow[r];
  }
}

void ClassScorer::ByteScores(const std::uint8_t* bytes0, const std::uint8_t* bytes1,
                             const std::uint8_t* bytes2, std::size_t count, double* scores) const {
  const double* second = colourTables_.data() + (kByteValues * padded_);
  const double* third = colourTables_.data() + (2 * kByteValues * padded_);
  HWY_DYNAMIC_DISPATCH(KernelScores)
  (weightedTable_.data(), second, third, padded_, bytes0, bytes1, bytes2, count,
   {bias_, sigmoidA_, sigmoidB_}, scores);
}

double ClassScorer::DirectScore(const std::array<double, 3>& colour) const {
  const std::size_t dims = DescriptorLength();
  std::array<double, 3> z{};
  for (std::size_t c = 0; c < 3; ++c) z[c] = (colour[c] - mean_[dims + c]) * scale_[dims + c];
  double f = 0.0;
  for (const auto& b : basis_) {
    double d = b.descriptorDistance;
    const double diff0 = z[0] - b.colour[0];
    d += diff0 * diff0;
    const double diff1 = z[1] - b.colour[1];
    d += diff1 * diff1;
    const double diff2 = z[2] - b.colour[2];
    d += diff2 * diff2;
    f += b.weight * std::exp(-gamma_ * d);
  }
  return scorer_detail::Sigmoid{bias_, sigmoidA_, sigmoidB_}(f);
}

double ClassScorer::Score(const std::array<double, 3>& colour) const {
  std::array<std::uint8_t, 3> bytes{};
  if (!ToByte(colour[0], bytes[0]) || !ToByte(colour[1], bytes[1]) || !ToByte(colour[2], bytes[2])) {
    return DirectScore(colour);
  }
  std::array<double, kPartials> q{};
  ByteScores(&bytes[0], &bytes[1], &bytes[2], 1, q.data());
  return q[0];
}

void ClassScorer::Scores(std::span<const double> colour0, std::span<const double> colour1,
                         std::span<const double> colour2, std::span<double> out) const {
  std::array<std::array<std::uint8_t, kChunk>, 3> bytes{};
  std::array<double, kChunk> q{};
  for (std::size_t start = 0; start < out.size(); start += kChunk) {
    const std::size_t n = std::min(kChunk, out.size() - start);
    std::uint64_t direct = 0;  // bit i: colour start + i is not made of bytes
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = start + i;
      if (!ToByte(colour0[at], bytes[0][i]) || !ToByte(colour1[at], bytes[1][i]) ||
          !ToByte(colour2[at], bytes[2][i])) {
        direct |= std::uint64_t{1} << i;
        bytes[0][i] = bytes[1][i] = bytes[2][i] = 0;
      }
    }
    ByteScores(bytes[0].data(), bytes[1].data(), bytes[2].data(), n, q.data());
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = start + i;
      out[at] = (direct >> i & 1U) != 0 ? DirectScore({colour0[at], colour1[at], colour2[at]}) : q[i];
    }
  }
}

}  // namespace histonorm
#endif  // HWY_ONCE
