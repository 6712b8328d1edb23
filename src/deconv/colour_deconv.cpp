#include "deconv/colour_deconv.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include "common/log_line.h"

namespace histonorm {
namespace {

// Dot product of the stain 0 and stain 1 columns, summed in double and reduced to single precision.
float StainDotProduct(const Matrix3& s) {
  return static_cast<float>((s[0][0] * s[0][1] + s[1][0] * s[1][1]) + s[2][0] * s[2][1]);
}

// Mean of one colour sum in single precision; a class without samples has a not-a-number mean.
float MeanOf(float sum, std::uint64_t count) {
  if (count == 0) return std::numeric_limits<float>::quiet_NaN();
  return sum / static_cast<float>(count);
}

bool AllFinite(const Matrix3& m) {
  for (const auto& row : m) {
    for (const double v : row) {
      if (!std::isfinite(v)) return false;
    }
  }
  return true;
}

}  // namespace

CColourDeconv::CColourDeconv(LogSink log, float dotProductThreshold, unsigned threads)
    : log_(std::move(log)) {
  Init();
  this->dotProductThreshold = dotProductThreshold;
  this->threads = threads;
}

void CColourDeconv::Init() {
  dotProductThreshold = StainParams{}.dotProductThreshold;
  logScale_ = std::log(255.0);
  for (int v = 0; v < 256; ++v) {
    odTable_[v] = static_cast<float>(-(std::log((v + 1) / 255.0) * 255.0 / logScale_));
  }
  rawStains_ = {};
  stainLengths_ = {};
  stains_ = {};
  inverseStains_ = {};
  usable_ = false;
}

bool CColourDeconv::EstimateStainVectors(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                         float probThreshold) {
  BuildFromSampleSums(CollectStainSamples(image, probs, probThreshold, log_));
  return usable_;
}

bool CColourDeconv::EstimateStainVectors(const ImageColours& colours,
                                         const ClassProbabilityPlanes& colourProbs, float probThreshold) {
  BuildFromSampleSums(CollectStainSamples(colours, colourProbs, probThreshold, log_, threads));
  return usable_;
}

void CColourDeconv::BuildFromSampleSums(const StainSampleSums& sums) {
  std::array<ClassMeanColour, 3> records;
  for (ClassMeanColour& r : records) r.Reset();
  for (std::size_t k = 0; k < 2; ++k) {
    records[k].count = sums.count[k];
    for (std::size_t i = 0; i < 3; ++i) records[k].mean[i] = static_cast<float>(sums.colourSum[k][i]);
  }

  log_.Line("*Mean colours:");
  for (ClassMeanColour& r : records) {
    for (float& m : r.mean) m = MeanOf(m, r.count);
    LogLine(log_, r.mean[0], ", ", r.mean[1], ", ", r.mean[2]);
  }
  log_.Line("*Colour vectors (ignore third one!)");
  records[0].VectorFromMean();
  records[1].VectorFromMean();
  BuildStainMatrix(records[0].vector, records[1].vector);
  usable_ = usable_ && records[0].count > 0 && records[1].count > 0;
}

void CColourDeconv::BuildStainMatrix(const std::array<float, 3>& s0, const std::array<float, 3>& s1) {
  for (std::size_t i = 0; i < 3; ++i) {
    rawStains_[i] = {static_cast<double>(s0[i]), static_cast<double>(s1[i]), 0.0};
  }
  for (std::size_t k = 0; k < 3; ++k) {
    for (auto& row : stains_) row[k] = 0.0;
    const double length =
        std::sqrt((rawStains_[0][k] * rawStains_[0][k] + rawStains_[1][k] * rawStains_[1][k]) +
                  rawStains_[2][k] * rawStains_[2][k]);
    stainLengths_[k] = length;
    // A not-a-number length passes this test and spreads into the column.
    if (length != 0.0) {
      for (std::size_t i = 0; i < 3; ++i) stains_[i][k] = rawStains_[i][k] / length;
    }
    LogLine(log_, "Vec: ", stains_[0][k], ",", stains_[1][k], ",", stains_[2][k]);
  }
  LogLine(log_, "Doing Max Dt Product Correction: ", dotProductThreshold);
  CorrectDotProduct();
  CompleteThirdStain();
  for (auto& row : stains_) {
    for (double& v : row) {
      if (v == 0.0) v = 0.001;
    }
  }
  Invert();
  usable_ = AllFinite(stains_) && AllFinite(inverseStains_);
}

void CColourDeconv::CorrectDotProduct() {
  int passes = 0;
  // A not-a-number dot product fails the comparison and ends the loop.
  while (StainDotProduct(stains_) > dotProductThreshold) {
    if (passes == kMaxCorrectionPasses) {
      LogLine(log_, "Max dot product correction stopped after ", kMaxCorrectionPasses, " passes");
      return;
    }
    // Remove a thousandth of the common mean from both vectors and rescale them to unit length.
    std::array<double, 3> delta{};
    for (std::size_t i = 0; i < 3; ++i) {
      const float mean = static_cast<float>(stains_[i][1] * 0.5 + stains_[i][0] * 0.5);
      delta[i] = static_cast<double>(mean) * 0.001;
    }
    for (std::size_t k = 0; k < 2; ++k) {
      for (std::size_t i = 0; i < 3; ++i) stains_[i][k] -= delta[i];
      const float length = static_cast<float>(std::sqrt(
          stains_[0][k] * stains_[0][k] + stains_[1][k] * stains_[1][k] + stains_[2][k] * stains_[2][k]));
      for (std::size_t i = 0; i < 3; ++i) stains_[i][k] /= static_cast<double>(length);
    }
    ++passes;
  }
}

void CColourDeconv::CompleteThirdStain() {
  for (auto& row : stains_) {
    if (row[0] * row[0] + row[1] * row[1] > 1.0) {
      row[2] = 0.0;
    } else {
      row[2] = std::sqrt((1.0 - row[0] * row[0]) - row[1] * row[1]);
    }
  }
  // No zero test: a zero column becomes not-a-number here.
  const double length = std::sqrt((stains_[0][2] * stains_[0][2] + stains_[1][2] * stains_[1][2]) +
                                  stains_[2][2] * stains_[2][2]);
  for (auto& row : stains_) row[2] /= length;
}

void CColourDeconv::Invert() {
  // Closed form without pivoting, evaluated left to right exactly as derived; a singular matrix
  // leaves infinite or not-a-number entries.
  const Matrix3& s = stains_;
  const double x0 = s[0][0], x1 = s[0][1], x2 = s[0][2];
  const double y0 = s[1][0], y1 = s[1][1], y2 = s[1][2];
  const double z0 = s[2][0], z1 = s[2][1], z2 = s[2][2];
  Matrix3& q = inverseStains_;

  const double a = y1 - y0 * x1 / x0;
  const double v = z1 - z0 * x1 / x0;
  const double w = x2 * (v / a * y0 / x0 - z0 / x0) + (z2 - y2 * v / a);

  q[0][2] = (y2 / a * x1 / x0 - (x2 / a * x1 / x0 * y0 / x0 + x2 / x0)) / w;
  q[0][1] = -(v * q[0][2] / a) - x1 / (a * x0);
  q[0][0] = 1 / x0 - q[0][1] * y0 / x0 - q[0][2] * z0 / x0;

  q[1][2] = (x2 / a * y0 / x0 - y2 / a) / w;
  q[1][1] = 1 / a - v * q[1][2] / a;
  q[1][0] = -(q[1][1] * y0 / x0) - q[1][2] * z0 / x0;

  q[2][2] = 1 / w;
  q[2][1] = -(v * q[2][2] / a);
  q[2][0] = -(q[2][1] * y0 / x0) - q[2][2] * z0 / x0;
}

std::string CColourDeconv::VectorsText() const {
  std::ostringstream text;
  for (std::size_t k = 0; k < 3; ++k) {
    text << rawStains_[0][k] << " " << rawStains_[1][k] << " " << rawStains_[2][k] << "\n";
  }
  return text.str();
}

bool CColourDeconv::WriteVectors(const std::string& path) const {
  std::ofstream file(path);
  if (!file.is_open()) return false;
  file << VectorsText();
  file.close();
  return !file.fail();
}

}  // namespace histonorm
