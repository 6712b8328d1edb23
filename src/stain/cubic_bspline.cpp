#include "stain/cubic_bspline.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "common/log_line.h"

// LAPACK singular value decomposition (Fortran calling convention; the two trailing arguments are
// the hidden lengths of the character arguments).
extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
                        const int* lda, double* s, double* u, const int* ldu, double* vt, const int* ldvt,
                        double* work, const int* lwork, int* info, std::size_t jobuLength,
                        std::size_t jobvtLength);

namespace histonorm {

namespace {

// Uniform cubic B-spline basis: row k holds the t^3, t^2, t and constant factors of B_k.
constexpr float kSixth = 1.0f / 6.0f;
constexpr std::array<std::array<float, 4>, 4> kBasis = {{
    {-kSixth, 0.5f, -0.5f, kSixth},
    {0.5f, -1.0f, 0.0f, 2.0f / 3.0f},
    {-0.5f, 0.5f, 0.5f, kSixth},
    {kSixth, 0.0f, 0.0f, 0.0f},
}};

// Share of the largest singular value that sets the damping towards the identity coefficients.
constexpr double kDampingShare = 0.2;

// Damped inverse of each singular value: s / (s^2 + lambda), lambda from the largest one.
std::vector<float> DampedInverses(const std::vector<double>& s) {
  const float scaled = static_cast<float>(kDampingShare * s[0]);
  const float lambda = scaled * scaled;
  std::vector<float> inv(s.size(), 0.0f);
  for (std::size_t j = 0; j < s.size(); ++j) {
    const float sv = static_cast<float>(s[j]);
    if (sv > 0.0f) inv[j] = ((1.0f / sv) * (sv * sv)) / (sv * sv + lambda);
  }
  return inv;
}

}  // namespace

// Singular value decomposition of the column-major m x n matrix a (overwritten): full U (m x m)
// and full V^T (n x n). Returns LAPACK's INFO.
int CubicBSpline::Svd(int m, int n, std::vector<double>& a, Decomposition& out) {
  std::vector<double>& s = out.s;
  std::vector<double>& u = out.u;
  std::vector<double>& vt = out.vt;
  const int small = std::min(m, n);
  const int large = std::max(m, n);
  const int lwork = 20 * std::max(3 * small + large, 5 * small);
  std::vector<double> work(static_cast<std::size_t>(lwork));
  s.assign(static_cast<std::size_t>(small), 0.0);
  u.assign(static_cast<std::size_t>(m) * static_cast<std::size_t>(m), 0.0);
  vt.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(n), 0.0);
  const char job = 'A';
  int info = 0;
  dgesvd_(&job, &job, &m, &n, a.data(), &m, s.data(), u.data(), &m, vt.data(), &n, work.data(), &lwork, &info,
          1, 1);
  return info;
}

CubicBSpline::CubicBSpline(float xMin, float xMax, std::uint32_t numCoeffs, int boundaryMode, LogSink log)
    : xMin_(xMin),
      xMax_(xMax),
      numCoeffs_(numCoeffs),
      coeffs_(numCoeffs, 0.0f),
      spacing_((xMax - xMin) / static_cast<float>(numCoeffs - 1)),
      boundaryMode_(boundaryMode),
      log_(std::move(log)) {
  if (!(xMax > xMin) || numCoeffs < 4)
    throw std::invalid_argument("CubicBSpline: empty domain or too few coefficients");
}

std::array<float, 4> CubicBSpline::Basis(float t) {
  const float t2 = t * t;
  const float t3 = t2 * t;
  std::array<float, 4> b{};
  for (std::size_t k = 0; k < 4; ++k) {
    const auto& c = kBasis[k];
    b[k] = ((c[0] * t3 + c[1] * t2) + c[2] * t) + c[3];
  }
  return b;
}

void CubicBSpline::LogOutOfRange(float x) const { LogLine(log_, "OOR: ", xMin_, ",", xMax_, ",", x); }

bool CubicBSpline::OutOfRange(float x) const { return std::isnan(x) || xMin_ > x || x >= xMax_; }

CubicBSpline::Location CubicBSpline::Locate(float x) const {
  const int last = static_cast<int>(numCoeffs_) - 2;
  const int d = std::min(static_cast<int>((x - xMin_) / spacing_), last);
  const float t = (x - (static_cast<float>(d) * spacing_ + xMin_)) / spacing_;
  return {d, t};
}

float CubicBSpline::Before(int d) const {
  if (d > 0) return coeffs_[static_cast<std::size_t>(d - 1)];
  if (boundaryMode_ == 0) return 0.0f;
  if (boundaryMode_ == 1) return coeffs_.front();
  return xMin_ - spacing_;
}

float CubicBSpline::After(int d) const {
  if (d < static_cast<int>(numCoeffs_) - 2) return coeffs_[static_cast<std::size_t>(d) + 2];
  if (boundaryMode_ == 0) return 0.0f;
  if (boundaryMode_ == 1) return coeffs_.back();
  return xMax_ + spacing_;
}

float CubicBSpline::Eval(float x) const {
  if (OutOfRange(x)) {
    LogOutOfRange(x);
    return HUGE_VALF;
  }
  const Location loc = Locate(x);
  const std::array<float, 4> b = Basis(loc.t);
  const auto d = static_cast<std::size_t>(loc.d);
  return ((b[0] * Before(loc.d) + b[1] * coeffs_[d]) + b[2] * coeffs_[d + 1]) + b[3] * After(loc.d);
}

CubicBSpline::FitSystem::FitSystem(std::size_t rowCount, std::uint32_t columns)
    : rows(rowCount), design(rowCount * columns, 0.0), rhs(rowCount, 0.0) {}

double& CubicBSpline::FitSystem::At(std::size_t row, int column) {
  return design[row + static_cast<std::size_t>(column) * rows];
}

void CubicBSpline::AddFitRow(std::size_t i, float x, float y, FitSystem& system) const {
  const int n = static_cast<int>(numCoeffs_);
  const Location loc = Locate(x);
  const int d = loc.d;
  const std::array<float, 4> b = Basis(loc.t);
  system.rhs[i] = y;
  if (d > 0 && d < n - 2) {
    for (int k = 0; k < 4; ++k) system.At(i, d - 1 + k) = b[static_cast<std::size_t>(k)];
  } else if (d == 0) {
    system.At(i, 0) = b[1];
    system.At(i, 1) = b[2];
    system.At(i, 2) = b[3];
    if (boundaryMode_ == 1) {
      system.At(i, 0) += b[0];
    } else if (boundaryMode_ != 0) {
      system.rhs[i] = static_cast<double>(y) - static_cast<double>(xMin_ - spacing_) * b[0];
    }
  } else {
    system.At(i, d - 1) = b[0];
    system.At(i, d) = b[1];
    system.At(i, d + 1) = b[2];
    if (boundaryMode_ == 1) {
      system.At(i, n - 1) += b[3];
    } else if (boundaryMode_ != 0) {
      system.rhs[i] = static_cast<double>(y) - static_cast<double>(xMax_ + spacing_) * b[3];
    }
  }
}

bool CubicBSpline::BuildFitSystem(std::span<const float> x, std::span<const float> y,
                                  FitSystem& system) const {
  for (std::size_t i = 0; i < system.rows; ++i) {
    if (OutOfRange(x[i])) {
      LogOutOfRange(x[i]);
      LogLine(log_, "Data out of range:", x[i]);
      return false;
    }
    AddFitRow(i, x[i], y[i], system);
  }
  return true;
}

std::vector<float> CubicBSpline::KnotPositions() const {
  std::vector<float> knots(numCoeffs_);
  for (std::uint32_t j = 0; j < numCoeffs_; ++j) knots[j] = static_cast<float>(j) * spacing_ + xMin_;
  return knots;
}

std::vector<double> CubicBSpline::IdentityResiduals(const FitSystem& system,
                                                    const std::vector<float>& knots) const {
  std::vector<double> residual(system.rows);
  for (std::size_t i = 0; i < system.rows; ++i) {
    double predicted = 0.0;
    for (std::size_t c = 0; c < numCoeffs_; ++c)
      predicted += system.design[i + c * system.rows] * static_cast<double>(knots[c]);
    residual[i] = system.rhs[i] - predicted;
  }
  return residual;
}

void CubicBSpline::CorrectKnots(const Decomposition& svd, const std::vector<float>& inverses,
                                const std::vector<float>& knots, const std::vector<double>& residual) {
  // coeff[m] = knot[m] + sum_i P[m][i] * residual[i], with P = V diag(inverses) U^T in single precision.
  const std::size_t rows = residual.size();
  const std::size_t cols = numCoeffs_;
  for (std::size_t mi = 0; mi < cols; ++mi) {
    double correction = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      float p = 0.0f;
      for (std::size_t j = 0; j < inverses.size(); ++j) {
        const double term = (svd.vt[j + mi * cols] * static_cast<double>(inverses[j])) * svd.u[i + j * rows];
        p = static_cast<float>(static_cast<double>(p) + term);
      }
      correction += static_cast<double>(p) * residual[i];
    }
    coeffs_[mi] = static_cast<float>(static_cast<double>(knots[mi]) + correction);
  }
}

bool CubicBSpline::Fit(std::span<const float> x, std::span<const float> y) {
  if (x.size() != y.size() || x.empty())
    throw std::invalid_argument("CubicBSpline::Fit: need equally many x and y");
  FitSystem system(x.size(), numCoeffs_);
  if (!BuildFitSystem(x, y, system)) return false;
  std::vector<double> a = system.design;  // the decomposition overwrites its input
  Decomposition svd;
  if (Svd(static_cast<int>(system.rows), static_cast<int>(numCoeffs_), a, svd) != 0) {
    log_.Line("SVD Failed");
    return false;
  }
  CorrectKnots(svd, DampedInverses(svd.s), KnotPositions(), IdentityResiduals(system, KnotPositions()));
  return true;
}

}  // namespace histonorm
