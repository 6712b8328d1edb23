#include "classifier/class_scorer.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <xsimd/xsimd.hpp>

namespace histonorm {

namespace {

using Batch = xsimd::batch<double>;
constexpr std::size_t kLanes = Batch::size;
constexpr std::size_t kBasisChunk = 64;

std::vector<double> Values(const dlib::matrix<double>& column) {
  return std::vector<double>(column.begin(), column.end());
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
  const double* v = basisDescriptors_.data();
  for (auto& b : basis_) {
    // The library's squared distance starts from zero and adds each row's square in row order.
    double d = 0.0;
    for (std::size_t i = 0; i < dims; ++i, ++v) {
      const double diff = z[i] - *v;
      d += diff * diff;
    }
    b.descriptorDistance = d;
  }
}

double ClassScorer::Score(const std::array<double, 3>& colour) const {
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
  f -= bias_;
  return 1 / (1 + std::exp(sigmoidA_ * f + sigmoidB_));
}

void ClassScorer::Scores(std::span<const double> colour0, std::span<const double> colour1,
                         std::span<const double> colour2, std::span<double> out) const {
  const std::size_t dims = DescriptorLength();
  const std::size_t whole = out.size() - out.size() % kLanes;
  // Exponents of up to kBasisChunk basis vectors for one group of lanes: they are all formed first
  // and then exponentiated in one run of independent calls, before the weighted sum reads them.
  alignas(64) std::array<double, kBasisChunk * kLanes> e{};
  for (std::size_t i = 0; i < whole; i += kLanes) {
    const Batch z0 = (Batch::load_unaligned(&colour0[i]) - Batch(mean_[dims])) * Batch(scale_[dims]);
    const Batch z1 = (Batch::load_unaligned(&colour1[i]) - Batch(mean_[dims + 1])) * Batch(scale_[dims + 1]);
    const Batch z2 = (Batch::load_unaligned(&colour2[i]) - Batch(mean_[dims + 2])) * Batch(scale_[dims + 2]);
    Batch f(0.0);
    for (std::size_t first = 0; first < basis_.size(); first += kBasisChunk) {
      const std::size_t count = std::min(kBasisChunk, basis_.size() - first);
      for (std::size_t r = 0; r < count; ++r) {
        const Basis& b = basis_[first + r];
        const Batch diff0 = z0 - Batch(b.colour[0]);
        Batch d = Batch(b.descriptorDistance) + diff0 * diff0;
        const Batch diff1 = z1 - Batch(b.colour[1]);
        d = d + diff1 * diff1;
        const Batch diff2 = z2 - Batch(b.colour[2]);
        d = d + diff2 * diff2;
        (Batch(-gamma_) * d).store_aligned(&e[r * kLanes]);
      }
      for (std::size_t j = 0; j < count * kLanes; ++j) e[j] = std::exp(e[j]);
      for (std::size_t r = 0; r < count; ++r) {
        f = f + Batch(basis_[first + r].weight) * Batch::load_aligned(&e[r * kLanes]);
      }
    }
    f = f - Batch(bias_);
    (Batch(sigmoidA_) * f + Batch(sigmoidB_)).store_aligned(e.data());
    for (std::size_t l = 0; l < kLanes; ++l) out[i + l] = 1 / (1 + std::exp(e[l]));
  }
  for (std::size_t i = whole; i < out.size(); ++i) out[i] = Score({colour0[i], colour1[i], colour2[i]});
}

}  // namespace histonorm
