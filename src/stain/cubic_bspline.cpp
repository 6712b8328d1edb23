#include "stain/cubic_bspline.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iostream>
#include <stdexcept>

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

void PrintOutOfRange(float xMin, float xMax, float x) {
  std::cerr << "OOR: " << xMin << "," << xMax << "," << x << std::endl;
}

// Singular value decomposition of the column-major m x n matrix a (overwritten): full U (m x m)
// and full V^T (n x n). Returns LAPACK's INFO.
int Svd(int m, int n, std::vector<double>& a, std::vector<double>& s, std::vector<double>& u,
        std::vector<double>& vt) {
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

}  // namespace

CubicBSpline::CubicBSpline(float xMin, float xMax, std::uint32_t numCoeffs, int boundaryMode)
    : xMin_(xMin),
      xMax_(xMax),
      numCoeffs_(numCoeffs),
      coeffs_(numCoeffs, 0.0f),
      spacing_((xMax - xMin) / static_cast<float>(numCoeffs - 1)),
      boundaryMode_(boundaryMode) {
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
  if (d < static_cast<int>(numCoeffs_) - 2) return coeffs_[static_cast<std::size_t>(d + 2)];
  if (boundaryMode_ == 0) return 0.0f;
  if (boundaryMode_ == 1) return coeffs_.back();
  return xMax_ + spacing_;
}

float CubicBSpline::Eval(float x) const {
  if (OutOfRange(x)) {
    PrintOutOfRange(xMin_, xMax_, x);
    return HUGE_VALF;
  }
  const Location loc = Locate(x);
  const std::array<float, 4> b = Basis(loc.t);
  const auto d = static_cast<std::size_t>(loc.d);
  return ((b[0] * Before(loc.d) + b[1] * coeffs_[d]) + b[2] * coeffs_[d + 1]) + b[3] * After(loc.d);
}

bool CubicBSpline::Fit(std::span<const float> x, std::span<const float> y) {
  if (x.size() != y.size() || x.empty())
    throw std::invalid_argument("CubicBSpline::Fit: need equally many x and y");
  const int m = static_cast<int>(x.size());
  const int n = static_cast<int>(numCoeffs_);
  const auto rows = static_cast<std::size_t>(m);
  // Design matrix, column-major with leading dimension m, and right-hand side.
  std::vector<double> a(rows * numCoeffs_, 0.0);
  std::vector<double> rhs(rows, 0.0);
  auto at = [&](std::size_t i, int col) -> double& { return a[i + static_cast<std::size_t>(col) * rows]; };
  for (std::size_t i = 0; i < rows; ++i) {
    if (OutOfRange(x[i])) {
      PrintOutOfRange(xMin_, xMax_, x[i]);
      std::cerr << "Data out of range:" << x[i] << std::endl;
      return false;
    }
    const Location loc = Locate(x[i]);
    const int d = loc.d;
    const std::array<float, 4> b = Basis(loc.t);
    rhs[i] = y[i];
    if (d > 0 && d < n - 2) {
      for (int k = 0; k < 4; ++k) at(i, d - 1 + k) = b[static_cast<std::size_t>(k)];
    } else if (d == 0) {
      at(i, 0) = b[1];
      at(i, 1) = b[2];
      at(i, 2) = b[3];
      if (boundaryMode_ == 1) {
        at(i, 0) += b[0];
      } else if (boundaryMode_ != 0) {
        rhs[i] = static_cast<double>(y[i]) - static_cast<double>(xMin_ - spacing_) * b[0];
      }
    } else {
      at(i, d - 1) = b[0];
      at(i, d) = b[1];
      at(i, d + 1) = b[2];
      if (boundaryMode_ == 1) {
        at(i, n - 1) += b[3];
      } else if (boundaryMode_ != 0) {
        rhs[i] = static_cast<double>(y[i]) - static_cast<double>(xMax_ + spacing_) * b[3];
      }
    }
  }
  const std::vector<double> design = a;

  std::vector<double> s, u, vt;
  if (Svd(m, n, a, s, u, vt) != 0) {
    std::cerr << "SVD Failed" << std::endl;
    return false;
  }

  // Damped inverse of each singular value: s / (s^2 + lambda), lambda from the largest one.
  const float scaled = static_cast<float>(kDampingShare * s[0]);
  const float lambda = scaled * scaled;
  std::vector<float> inv(s.size(), 0.0f);
  for (std::size_t j = 0; j < s.size(); ++j) {
    const float sv = static_cast<float>(s[j]);
    if (sv > 0.0f) inv[j] = ((1.0f / sv) * (sv * sv)) / (sv * sv + lambda);
  }

  // Knot positions: the coefficients of the identity curve.
  std::vector<float> knots(numCoeffs_);
  for (std::uint32_t j = 0; j < numCoeffs_; ++j) knots[j] = static_cast<float>(j) * spacing_ + xMin_;

  // Residual of the identity curve at every row.
  std::vector<double> residual(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    double predicted = 0.0;
    for (std::size_t c = 0; c < numCoeffs_; ++c)
      predicted += design[i + c * rows] * static_cast<double>(knots[c]);
    residual[i] = rhs[i] - predicted;
  }

  // coeff[m] = knot[m] + sum_i P[m][i] * residual[i], with P = V diag(inv) U^T in single precision.
  const auto cols = static_cast<std::size_t>(n);
  for (std::size_t mi = 0; mi < cols; ++mi) {
    double correction = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      float p = 0.0f;
      for (std::size_t j = 0; j < inv.size(); ++j) {
        const double term = (vt[j + mi * cols] * static_cast<double>(inv[j])) * u[i + j * rows];
        p = static_cast<float>(static_cast<double>(p) + term);
      }
      correction += static_cast<double>(p) * residual[i];
    }
    coeffs_[mi] = static_cast<float>(static_cast<double>(knots[mi]) + correction);
  }
  return true;
}

}  // namespace histonorm
