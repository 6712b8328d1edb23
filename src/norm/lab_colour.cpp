#include "norm/lab_colour.h"

#include <cmath>

namespace histonorm {

namespace {
const double kSqrt3 = std::sqrt(3.0);
const double kSqrt6 = std::sqrt(6.0);
const double kSqrt2 = std::sqrt(2.0);
}  // namespace

Lab BgrToLab(std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
  const float r1 = static_cast<float>(red) + 1.0f;
  const float g1 = static_cast<float>(green) + 1.0f;
  const float b1 = static_cast<float>(blue) + 1.0f;
  // Cone responses in double; the logarithm of the double response, rounded afterwards.
  const double cl = 0.3811 * r1 + 0.5783 * g1 + 0.0402 * b1;
  const double cm = 0.1967 * r1 + 0.7244 * g1 + 0.0782 * b1;
  const double cs = 0.0241 * r1 + 0.1288 * g1 + 0.8444 * b1;
  const float lL = static_cast<float>(std::log10(cl));
  const float lM = static_cast<float>(std::log10(cm));
  const float lS = static_cast<float>(std::log10(cs));
  const float sumL = (lL + lM) + lS;
  const float sumA = (lL + lM) - 2.0f * lS;
  const float sumB = lL - lM;
  return {static_cast<float>(sumL / kSqrt3), static_cast<float>(sumA / kSqrt6),
          static_cast<float>(sumB / kSqrt2)};
}

std::array<float, 3> LabToBgrValues(const Lab& lab) {
  const float d = static_cast<float>(lab[0] / kSqrt3);
  const float e = static_cast<float>(lab[1] / kSqrt6);
  const float f = static_cast<float>(lab[2] / kSqrt2);
  const float cl = std::pow(10.0f, (e + d) + f);
  const float cm = std::pow(10.0f, (e + d) - f);
  const float cs = std::pow(10.0f, d - 2.0f * e);
  const double dl = cl;
  const double dm = cm;
  const double ds = cs;
  return {static_cast<float>(0.0497 * dl - 0.2439 * dm + 1.2045 * ds - 1.0),
          static_cast<float>(-1.2186 * dl + 2.3809 * dm - 0.1624 * ds - 1.0),
          static_cast<float>(4.4679 * dl - 3.5873 * dm + 0.1193 * ds - 1.0)};
}

std::uint8_t ColourValueToByte(float value) {
  if (value >= 0.0f && value <= 255.0f) {
    // Every float is exact in double and so is its sum with 0.5: truncating gives round half up.
    return static_cast<std::uint8_t>(
        static_cast<int>(static_cast<double>(value) + 0.5));  // NOLINT(bugprone-incorrect-roundings)
  }
  if (value < 0.0f) return 0;
  return 255;
}

}  // namespace histonorm
