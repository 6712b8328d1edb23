#include "stain/od_stain.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <opencv2/core.hpp>
#include <sstream>
#include <utility>

#include "common/log_line.h"
#include "common/parallel_for.h"

namespace histonorm {

namespace {

// Angles are histogrammed over [-pi, pi] and concentrations over [0, kMaxConcentration) in this many
// bins: fine enough that a percentile moves by less than a byte of output.
constexpr int kAngleBins = 8192;
constexpr int kConcentrationBins = 8192;
constexpr float kMaxConcentration = 12.0f;  // beyond black's OD norm (about 9.6)
// The factorisation starts each stain density at least this high.
constexpr float kSmallestStartDensity = 0.02f;
// Colours blended per piece of work.
constexpr std::size_t kMinColoursPerChunk = 4096;
// An eigenvalue below this (in OD squared) spans nothing.
constexpr double kFlat = 1e-12;

OdVector Unit(const OdVector& v) {
  const float n = Norm(v);
  if (!(n > 0.0f)) return v;
  return {v[0] / n, v[1] / n, v[2] / n};
}

// Stain 0 first: haematoxylin absorbs more red than eosin or DAB does.
StainBasis RedFirst(OdVector a, OdVector b) {
  if (b[0] > a[0]) std::swap(a, b);
  return {{a, b}};
}

// The value at `percent` percent of a weighted histogram's total, at the centre of its bin.
double HistogramPercentile(const std::vector<std::uint64_t>& bins, double percent, double lo, double hi) {
  std::uint64_t total = 0;
  for (const std::uint64_t b : bins) total += b;
  const auto goal = static_cast<std::uint64_t>(std::ceil(static_cast<double>(total) * percent / 100.0));
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 1 < bins.size(); ++i) {
    seen += bins[i];
    if (seen >= std::max<std::uint64_t>(goal, 1)) break;
  }
  return lo + (hi - lo) * (static_cast<double>(i) + 0.5) / static_cast<double>(bins.size());
}

// The tissue colours taken evenly along their pixel-weighted list: at most `most` entries, each
// with the number of evenly spaced positions that fell on it.
TissueColours EvenSamples(const TissueColours& tissue, std::uint32_t most) {
  if (tissue.od.size() <= most) return tissue;
  TissueColours samples;
  const double step = static_cast<double>(tissue.pixels) / most;
  double next = step / 2.0;
  std::uint64_t before = 0;
  for (std::size_t i = 0; i < tissue.od.size(); ++i) {
    const std::uint64_t after = before + tissue.weight[i];
    std::uint32_t hits = 0;
    while (next < static_cast<double>(after)) {
      ++hits;
      next += step;
    }
    if (hits > 0) {
      samples.od.push_back(tissue.od[i]);
      samples.weight.push_back(hits);
      samples.pixels += hits;
    }
    before = after;
  }
  return samples;
}

float AngleDegrees(const OdVector& a, const OdVector& b) {
  const double d = std::clamp(static_cast<double>(Dot(a, b)), -1.0, 1.0);
  return static_cast<float>(std::acos(d) * 180.0 / std::numbers::pi);
}

}  // namespace

StainBasis StandardHaemEosin() { return {{Unit({0.650f, 0.704f, 0.286f}), Unit({0.072f, 0.990f, 0.105f})}}; }

const std::array<float, 256>& OdTable() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int v = 0; v < 256; ++v) t[v] = static_cast<float>(-std::log((v + 1) / 256.0));
    return t;
  }();
  return table;
}

OdVector OdOfKey(std::uint32_t key) {
  const std::array<float, 256>& od = OdTable();
  return {od[KeyByte(key, 2)], od[KeyByte(key, 1)], od[KeyByte(key, 0)]};
}

std::uint8_t ByteOfOd(float od) {
  const double v = 256.0 * std::exp(-static_cast<double>(od)) - 1.0;
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

float Norm(const OdVector& v) { return std::sqrt(Dot(v, v)); }

float Dot(const OdVector& a, const OdVector& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

TissueColours CollectTissue(const ImageColours& colours, const OdStainParams& params) {
  TissueColours tissue;
  const std::vector<std::uint32_t>& keys = colours.Keys();
  const std::vector<std::uint32_t>& counts = colours.Counts();
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const OdVector od = OdOfKey(keys[i]);
    if (Norm(od) <= params.tissueOd) continue;
    tissue.od.push_back(od);
    tissue.weight.push_back(counts[i]);
    tissue.pixels += counts[i];
  }
  return tissue;
}

std::optional<StainBasis> PlaneDirections(const TissueColours& tissue, const OdStainParams& params) {
  if (tissue.pixels == 0) return std::nullopt;
  std::array<double, 3> mean{};
  for (std::size_t i = 0; i < tissue.od.size(); ++i) {
    for (int c = 0; c < 3; ++c) mean[c] += static_cast<double>(tissue.weight[i]) * tissue.od[i][c];
  }
  const auto n = static_cast<double>(tissue.pixels);
  for (double& m : mean) m /= n;
  cv::Matx33d cov = cv::Matx33d::zeros();
  for (std::size_t i = 0; i < tissue.od.size(); ++i) {
    const double w = tissue.weight[i];
    for (int r = 0; r < 3; ++r) {
      for (int c = r; c < 3; ++c) cov(r, c) += w * (tissue.od[i][r] - mean[r]) * (tissue.od[i][c] - mean[c]);
    }
  }
  for (int r = 0; r < 3; ++r) {
    for (int c = r; c < 3; ++c) cov(c, r) = (cov(r, c) /= n);
  }
  cv::Mat values;
  cv::Mat vectors;
  cv::eigen(cov, values, vectors);
  if (!(values.at<double>(1) > kFlat)) return std::nullopt;
  std::array<OdVector, 2> axis{};
  for (int k = 0; k < 2; ++k) {
    for (int c = 0; c < 3; ++c) axis[k][c] = static_cast<float>(vectors.at<double>(k, c));
  }
  // The first axis points into the tissue (positive densities).
  if (axis[0][0] + axis[0][1] + axis[0][2] < 0.0f) {
    for (float& v : axis[0]) v = -v;
  }
  std::vector<std::uint64_t> bins(kAngleBins, 0);
  const double pi = std::numbers::pi;
  for (std::size_t i = 0; i < tissue.od.size(); ++i) {
    const double angle = std::atan2(Dot(tissue.od[i], axis[1]), Dot(tissue.od[i], axis[0]));
    const auto bin = static_cast<int>((angle + pi) / (2.0 * pi) * kAngleBins);
    bins[std::clamp(bin, 0, kAngleBins - 1)] += tissue.weight[i];
  }
  const double lo = HistogramPercentile(bins, params.anglePercentile, -pi, pi);
  const double hi = HistogramPercentile(bins, 100.0 - params.anglePercentile, -pi, pi);
  auto along = [&](double angle) {
    OdVector v{};
    for (int c = 0; c < 3; ++c) {
      v[c] = static_cast<float>(std::cos(angle) * axis[0][c] + std::sin(angle) * axis[1][c]);
    }
    return Unit(v);
  };
  return RedFirst(along(lo), along(hi));
}

StainBasis FactorisedDirections(const TissueColours& tissue, const StainBasis& start,
                                const OdStainParams& params) {
  const TissueColours samples = EvenSamples(tissue, params.factorisationSamples);
  // Multiplicative updates cannot move a zero: start every density slightly positive.
  StainBasis basis = start;
  for (OdVector& s : basis.stain) {
    for (float& v : s) v = std::max(v, kSmallestStartDensity);
    s = Unit(s);
  }
  for (int pass = 0; pass < params.factorisationPasses; ++pass) {
    // Concentrations for the current directions, then each colour row of the directions by
    // non-negative least squares given the concentrations.
    const ConcentrationSolver solver(basis, params.factorisationSparsity);
    double g00 = 0.0;
    double g01 = 0.0;
    double g11 = 0.0;
    std::array<std::array<double, 2>, 3> b{};
    for (std::size_t i = 0; i < samples.od.size(); ++i) {
      const std::array<float, 2> c = solver.Solve(samples.od[i]);
      const double w = samples.weight[i];
      g00 += w * c[0] * c[0];
      g01 += w * c[0] * c[1];
      g11 += w * c[1] * c[1];
      for (int r = 0; r < 3; ++r) {
        b[r][0] += w * samples.od[i][r] * c[0];
        b[r][1] += w * samples.od[i][r] * c[1];
      }
    }
    // Multiplicative update: stays non-negative and never increases the squared error.
    StainBasis next = basis;
    for (int r = 0; r < 3; ++r) {
      const double fit0 = basis.stain[0][r] * g00 + basis.stain[1][r] * g01;
      const double fit1 = basis.stain[0][r] * g01 + basis.stain[1][r] * g11;
      next.stain[0][r] = fit0 > 0.0 ? static_cast<float>(basis.stain[0][r] * b[r][0] / fit0) : 0.0f;
      next.stain[1][r] = fit1 > 0.0 ? static_cast<float>(basis.stain[1][r] * b[r][1] / fit1) : 0.0f;
    }
    for (int k = 0; k < 2; ++k) {
      // A stain no colour uses keeps its direction.
      basis.stain[k] = Norm(next.stain[k]) > 0.0f ? Unit(next.stain[k]) : basis.stain[k];
    }
    if (!(AngleDegrees(basis.stain[0], basis.stain[1]) > 0.0f)) break;  // collapsed: the guard decides
  }
  return RedFirst(basis.stain[0], basis.stain[1]);
}

GuardedBasis GuardedDirections(const TissueColours& tissue, DirectionEstimator estimator,
                               const ReferenceStains& reference, const OdStainParams& params,
                               const LogSink& log) {
  auto fallBack = [&](const std::string& reason) {
    LogLine(log, "Stain directions: ", reason, ", using ", reference.name, " directions");
    return GuardedBasis{reference.basis, true};
  };
  if (tissue.pixels < params.minTissuePixels) {
    return fallBack("only " + std::to_string(tissue.pixels) + " tissue pixels");
  }
  std::optional<StainBasis> estimate = PlaneDirections(tissue, params);
  if (!estimate) return fallBack("the tissue densities span no plane");
  if (estimator == DirectionEstimator::kSparseFactorisation &&
      AngleDegrees(estimate->stain[0], estimate->stain[1]) > 0.0f) {
    estimate = FactorisedDirections(tissue, *estimate, params);
  }
  StainBasis& e = *estimate;
  const float apart = AngleDegrees(e.stain[0], e.stain[1]);
  if (!(apart >= params.minAngleDegrees)) {
    std::ostringstream reason;
    reason.precision(3);
    reason << "the two directions are " << apart << " degrees apart";
    return fallBack(reason.str());
  }
  // A tile of one stain: its two directions lie close (the spread of one stain's hues) and, split
  // along the reference directions, one stain's percentile is a small fraction of the other's.
  if (!reference.oneStainCheck || apart >= 2.0f * params.minAngleDegrees) return {e, false};
  const std::array<float, 2> amounts = ConcentrationPercentiles(
      tissue, ConcentrationSolver(reference.basis, 0.0f), params.concentrationPercentile);
  const int weaker = amounts[0] < amounts[1] ? 0 : 1;
  if (!(amounts[weaker] >= params.oneStainRatio * amounts[1 - weaker])) {
    std::ostringstream reason;
    reason.precision(3);
    reason << "stain " << weaker << " is nearly absent (" << amounts[weaker] << " against "
           << amounts[1 - weaker] << ")";
    return fallBack(reason.str());
  }
  return {e, false};
}

ConcentrationSolver::ConcentrationSolver(const StainBasis& basis, float sparsity)
    : basis_(basis),
      sparsity_(sparsity),
      cross_(Dot(basis.stain[0], basis.stain[1])),
      invDet_(1.0 / (1.0 - cross_ * cross_)) {}

std::array<float, 2> ConcentrationSolver::Solve(const OdVector& od) const {
  const double b0 = static_cast<double>(Dot(basis_.stain[0], od)) - sparsity_;
  const double b1 = static_cast<double>(Dot(basis_.stain[1], od)) - sparsity_;
  const double c0 = (b0 - cross_ * b1) * invDet_;
  const double c1 = (b1 - cross_ * b0) * invDet_;
  if (c0 >= 0.0 && c1 >= 0.0) return {static_cast<float>(c0), static_cast<float>(c1)};
  // One stain alone (unit vectors: its concentration is its projection), whichever fits better.
  const double a = std::max(0.0, b0);
  const double c = std::max(0.0, b1);
  if (a * a >= c * c) return {static_cast<float>(a), 0.0f};
  return {0.0f, static_cast<float>(c)};
}

std::array<float, 2> ConcentrationPercentiles(const TissueColours& tissue, const ConcentrationSolver& solver,
                                              float percent) {
  std::array<std::vector<std::uint64_t>, 2> bins{std::vector<std::uint64_t>(kConcentrationBins, 0),
                                                 std::vector<std::uint64_t>(kConcentrationBins, 0)};
  for (std::size_t i = 0; i < tissue.od.size(); ++i) {
    const std::array<float, 2> c = solver.Solve(tissue.od[i]);
    for (int k = 0; k < 2; ++k) {
      const auto bin = static_cast<int>(c[k] / kMaxConcentration * kConcentrationBins);
      bins[k][std::clamp(bin, 0, kConcentrationBins - 1)] += tissue.weight[i];
    }
  }
  std::array<float, 2> result{};
  for (int k = 0; k < 2; ++k) {
    result[k] = static_cast<float>(HistogramPercentile(bins[k], percent, 0.0, kMaxConcentration));
  }
  return result;
}

float TissueWeight(float odNorm, const OdStainParams& params) {
  if (!(params.tissueOd > params.glassOd)) return odNorm > params.tissueOd ? 1.0f : 0.0f;
  return std::clamp((odNorm - params.glassOd) / (params.tissueOd - params.glassOd), 0.0f, 1.0f);
}

void KeepGlass(const cv::Mat& colours, cv::Mat& mapped, const OdStainParams& params, unsigned threads) {
  const std::array<float, 256>& odTable = OdTable();
  const std::uint8_t* in = colours.ptr<std::uint8_t>(0);
  std::uint8_t* out = mapped.ptr<std::uint8_t>(0);
  ParallelFor(
      colours.total(), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const std::uint8_t* px = in + 3 * i;
          std::uint8_t* o = out + 3 * i;
          const float w = TissueWeight(Norm({odTable[px[2]], odTable[px[1]], odTable[px[0]]}), params);
          if (w >= 1.0f) continue;
          for (int b = 0; b < 3; ++b) o[b] = ByteOfOd(w * odTable[o[b]] + (1.0f - w) * odTable[px[b]]);
        }
      },
      kMinColoursPerChunk);
}

std::string VectorText(const OdVector& v) {
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(4);
  text << "(" << v[0] << ", " << v[1] << ", " << v[2] << ")";
  return text.str();
}

}  // namespace histonorm
