#pragma once
// Uniform cubic B-spline y = f(x) over [xMin, xMax) with numCoeffs coefficients; coefficient j
// belongs to the knot position xMin + j * spacing, with spacing = (xMax - xMin) / (numCoeffs - 1).
//
// The boundary mode says what stands in for the coefficient before the first and after the last:
// 0 gives zero, 1 repeats the end coefficients, any other value gives xMin - spacing and
// xMax + spacing. All evaluation is in single precision, in a fixed order of operations, so results
// are reproducible to the last bit.
//
// Eval requires nothing: an x outside the domain (or not a number) logs an "OOR: " line and gives
// positive infinity. Fit requires equally many x and y values, at least one; it solves a damped
// least-squares problem pulled towards the identity coefficients and leaves the coefficients
// unchanged (logging why) when an x is out of range or the decomposition fails. Lines go to the
// LogSink given at construction.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "histonorm/log_sink.h"

namespace histonorm {

class CubicBSpline {
 public:
  // Requires xMax > xMin and numCoeffs >= 4. Ensures all coefficients are 0.
  CubicBSpline(float xMin, float xMax, std::uint32_t numCoeffs, int boundaryMode, LogSink log = {});

  [[nodiscard]] float Eval(float x) const;
  // Returns true when the coefficients were replaced by the fit.
  [[nodiscard]] bool Fit(std::span<const float> x, std::span<const float> y);

  float XMin() const { return xMin_; }
  float XMax() const { return xMax_; }
  float Spacing() const { return spacing_; }
  int BoundaryMode() const { return boundaryMode_; }
  const std::vector<float>& Coeffs() const { return coeffs_; }
  std::vector<float>& Coeffs() { return coeffs_; }

  // Basis weights B0..B3 of the local parameter t (weights of coefficients d-1, d, d+1, d+2).
  static std::array<float, 4> Basis(float t);

 private:
  // Interval index d and local parameter t of an x inside the domain. An x at the very top of the
  // domain whose quotient rounds up to numCoeffs - 1 is kept in the last interval.
  struct Location {
    int d;
    float t;
  };
  // The least-squares system of a fit: the design matrix, column-major with one row per point, and
  // the right-hand side.
  struct FitSystem {
    FitSystem(std::size_t rowCount, std::uint32_t columns);
    double& At(std::size_t row, int column);
    std::size_t rows;
    std::vector<double> design;
    std::vector<double> rhs;
  };
  // Singular values s, full U (column-major, rows x rows) and full V^T (columns x columns).
  struct Decomposition {
    std::vector<double> s, u, vt;
  };

  bool OutOfRange(float x) const;
  void LogOutOfRange(float x) const;
  // Fills one row of the system from the point (x, y), x inside the domain.
  void AddFitRow(std::size_t i, float x, float y, FitSystem& system) const;
  // Fills every row; false (logged) when an x is out of range.
  bool BuildFitSystem(std::span<const float> x, std::span<const float> y, FitSystem& system) const;
  static int Svd(int m, int n, std::vector<double>& a, Decomposition& out);
  // The coefficients of the identity curve, which the damping pulls the fit towards.
  std::vector<float> KnotPositions() const;
  // The residual of the identity curve at every row of the system.
  std::vector<double> IdentityResiduals(const FitSystem& system, const std::vector<float>& knots) const;
  // Sets each coefficient to its knot position plus the damped least-squares correction.
  void CorrectKnots(const Decomposition& svd, const std::vector<float>& inverses,
                    const std::vector<float>& knots, const std::vector<double>& residual);
  Location Locate(float x) const;
  float Before(int d) const;
  float After(int d) const;

  float xMin_;
  float xMax_;
  std::uint32_t numCoeffs_;
  std::vector<float> coeffs_;
  float spacing_;
  int boundaryMode_;
  LogSink log_;
};

}  // namespace histonorm
