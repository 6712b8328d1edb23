#pragma once
// Stain model of one image: two estimated stain vectors, the completed and inverted 3x3 stain
// matrix and the optical density table. Splits an 8-bit BGR image into three stain channel planes
// and recombines stain channel planes into an image.
//
// Colours are numbered red 0, green 1, blue 2; images store bytes blue, green, red. A stain matrix
// is stored by colour rows (M[i][k] is the colour-i component of stain k); the inverse by stain
// rows (Q[k][i] is the weight of colour i in stain k).
//
// Lines (sample counts, mean colours, vectors, the correction) go to the LogSink given at
// construction; copies share it.
//
// Init() must precede everything else. The matrices are defined only after BuildStainMatrix (or an
// estimate, which ends with it); IsUsable() tells whether they may be used to transform images.
#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <utility>

#include "common/pixel_planes.h"
#include "deconv/class_mean_colour.h"
#include "deconv/stain_samples.h"
#include "histonorm/log_sink.h"
#include "histonorm/stain_params.h"

namespace histonorm {

using Matrix3 = std::array<std::array<double, 3>, 3>;

class CColourDeconv {
 public:
  // The dot product correction gives up after this many passes (parallel vectors never separate,
  // and a threshold below -1 is never reached).
  static constexpr int kMaxCorrectionPasses = 100000;

  explicit CColourDeconv(LogSink log = {}) : log_(std::move(log)) {}
  // A stain model ready for an estimate (as after Init()) whose dot product correction stops at
  // `dotProductThreshold` and whose transforms use `threads`.
  CColourDeconv(LogSink log, float dotProductThreshold, unsigned threads);

  // Sets dotProductThreshold to its default (StainParams) and builds the optical density table. Calling it
  // again returns the object to this state.
  void Init();

  // Selects the samples of one image (logs "#samples used = ..."), then builds the stain
  // matrix from their mean colours (BuildFromSampleSums). Returns IsUsable(). Requires probability
  // planes of the image's size (throws std::invalid_argument otherwise).
  [[nodiscard]] bool EstimateStainVectors(const cv::Mat& image, const ClassProbabilityPlanes& probs,
                                          float probThreshold);
  // The same from probabilities given once per distinct colour of an image (see CollectStainSamples).
  [[nodiscard]] bool EstimateStainVectors(const ImageColours& colours,
                                          const ClassProbabilityPlanes& colourProbs, float probThreshold);
  // Logs the mean colours, turns them into unit vectors and calls BuildStainMatrix.
  void BuildFromSampleSums(const StainSampleSums& sums);
  // Two unit vectors (red, green, blue) -> corrected, completed and inverted stain matrix.
  void BuildStainMatrix(const std::array<float, 3>& s0, const std::array<float, 3>& s1);
  // False when a stain class had no samples or any entry of the stain matrix or its inverse is
  // not finite: such an estimate must not be used to transform images.
  [[nodiscard]] bool IsUsable() const { return usable_; }

  // Requires an 8-bit 3-channel BGR image. Ensures channels are resized to its size and filled.
  void ImageToChannels(const cv::Mat& image, StainChannelPlanes& channels) const;
  // Requires channels of the image's width x height and an existing 8-bit 3-channel image (throws
  // std::invalid_argument otherwise). Ensures every pixel of the image is written.
  void ChannelsToImage(const StainChannelPlanes& channels, cv::Mat& image) const;
  // The same, except that channel 2 (the part of each colour that the two stains do not explain)
  // goes back along `own`'s third stain, the matrix that split the channels: the residual keeps its
  // colour instead of taking on this matrix's third direction.
  void ChannelsToImageKeepingResidual(const StainChannelPlanes& channels, const CColourDeconv& own,
                                      cv::Mat& image) const;
  // The raw stain vectors, one stain per line: three numbers separated by blanks, each line ended
  // by '\n'.
  [[nodiscard]] std::string VectorsText() const;
  // Writes VectorsText() to a file. Returns false, logging nothing, when the file cannot be written.
  [[nodiscard]] bool WriteVectors(const std::string& path) const;

  float dotProductThreshold = StainParams{}.dotProductThreshold;
  // Threads ImageToChannels and ChannelsToImage split their pixels over (0 = all cores); the
  // results do not depend on it.
  unsigned threads = 1;

  double LogScale() const { return logScale_; }
  const std::array<float, 256>& OdTable() const { return odTable_; }
  const Matrix3& RawStains() const { return rawStains_; }
  const std::array<double, 3>& StainLengths() const { return stainLengths_; }
  const Matrix3& Stains() const { return stains_; }
  const Matrix3& InverseStains() const { return inverseStains_; }

 private:
  void CorrectDotProduct();
  void CompleteThirdStain();
  void Invert();
  void RecombineWith(const Matrix3& stains, const StainChannelPlanes& channels, cv::Mat& image) const;

  double logScale_ = 0.0;
  Matrix3 rawStains_{};
  std::array<double, 3> stainLengths_{};
  Matrix3 stains_{};
  Matrix3 inverseStains_{};
  std::array<float, 256> odTable_{};
  bool usable_ = false;
  LogSink log_;
};

}  // namespace histonorm
