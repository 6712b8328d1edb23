#pragma once
// Uniform cubic B-spline y = f(x) over [xMin, xMax) with numCoeffs coefficients; coefficient j
// belongs to the knot position xMin + j * spacing, with spacing = (xMax - xMin) / (numCoeffs - 1).
//
// The boundary mode says what stands in for the coefficient before the first and after the last:
// 0 gives zero, 1 repeats the end coefficients, any other value gives xMin - spacing and
// xMax + spacing. All evaluation is in single precision, in a fixed order of operations, so results
// are reproducible to the last bit.
//
// Eval requires nothing: an x outside the domain (or not a number) prints an "OOR: " line and gives
// positive infinity. Fit requires equally many x and y values, at least one; it solves a damped
// least-squares problem pulled towards the identity coefficients and leaves the coefficients
// unchanged (printing why) when an x is out of range or the decomposition fails.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace histonorm {

class CubicBSpline {
 public:
  // Requires xMax > xMin and numCoeffs >= 4. Ensures all coefficients are 0.
  CubicBSpline(float xMin, float xMax, std::uint32_t numCoeffs, int boundaryMode);

  float Eval(float x) const;
  // Returns true when the coefficients were replaced by the fit.
  bool Fit(std::span<const float> x, std::span<const float> y);

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
  bool OutOfRange(float x) const;
  Location Locate(float x) const;
  float Before(int d) const;
  float After(int d) const;

  float xMin_;
  float xMax_;
  std::uint32_t numCoeffs_;
  std::vector<float> coeffs_;
  float spacing_;
  int boundaryMode_;
};

}  // namespace histonorm
