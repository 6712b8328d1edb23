#pragma once
// Reinhard colour transfer: matches the mean and standard deviation of every channel of the
// decorrelated logarithmic colour space (l, alpha, beta) to those of the target pixels.
//
// CalcStats accumulates sums over all target pixels seen so far and logs the target statistics;
// Norm measures the source, logs its statistics and maps each pixel. Norm changes nothing.
// The sums are formed in pixel order on one thread; the per-colour transforms and the per-pixel
// mapping are split across threads, so results are the same for every thread count.
#include <array>
#include <cstdint>
#include <memory>
#include <utility>

#include "histonorm/log_sink.h"
#include "histonorm/norm_base.h"
#include "norm/lab_colour.h"

namespace histonorm {

// Running sums over the pixels of one or more images, in pixel order.
struct LabSums {
  std::array<double, 3> sum{};
  std::array<double, 3> sumSquares{};
  std::uint64_t count = 0;

  // Adds every pixel of an 8-bit image stored in `order`, rows in order, pixels in order (the
  // additions stay in that order; up to `threads` threads, 0 = all cores, prepare the per-colour
  // values).
  void Add(const cv::Mat& image, unsigned threads = 1, ChannelOrder order = ChannelOrder::kBgr);
  [[nodiscard]] LabStats Stats() const;
};

class CNormReinhard final : public CNormBase {
 public:
  // Lines go to `log` (a copy is kept); each call uses up to `threads` threads (0 = all cores).
  explicit CNormReinhard(LogSink log = {}, unsigned threads = 1)
      : CNormBase({std::move(log), {}}), threads_(threads) {}

  [[nodiscard]] const LabStats& TargetStats() const { return target_; }

 private:
  // Red-green-blue pixels are measured and mapped in place: the per-colour values are formed from
  // the colours' bytes reversed and the mapped bytes written reversed.
  void MeasureTarget(const cv::Mat& image, ChannelOrder order) override;
  void Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                 const CallSinks& sinks) const override;
  // Normalise pixel by pixel, for images whose colours rarely repeat.
  void NormalisePixels(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                       const CallSinks& sinks) const;
  [[nodiscard]] std::unique_ptr<const FittedTransform> FitSource(const cv::Mat& source,
                                                                 const CallSinks& sinks) const override;
  [[nodiscard]] bool TargetReady() const override { return targetSums_.count > 0; }
  [[nodiscard]] std::unique_ptr<CNormBase> CopyOf() const override {
    return std::unique_ptr<CNormBase>(new CNormReinhard(*this));
  }
  // The target's pixel sums and count.
  void ExportTarget(detail::TargetRecord& record) const override;
  void ImportTarget(const detail::TargetRecord& record) override;

  LabStats target_;
  LabSums targetSums_;
  unsigned threads_;
};

// Maps one channel value onto the target statistics. A uniform channel on either side (a deviation
// of zero, or one that is not a finite number) sends every value to the target mean.
[[nodiscard]] float MapLabChannelValue(float x, double sourceMean, double sourceSd, double targetMean,
                                       double targetSd);

}  // namespace histonorm
