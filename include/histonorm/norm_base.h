#pragma once
// The interface shared by every normalisation method.
//
//   std::unique_ptr<histonorm::CNormBase> norm = histonorm::MakeNormaliser(histonorm::Method::kReinhard, {});
//   norm->CalcStats(target);                      // once per target image; statistics accumulate
//   const cv::Mat result = norm->Norm(source);    // a new image
//   norm->Norm(source, existingOutput);           // or into an image of the source's size
//   norm->Norm(rgb, rgbOutput, histonorm::ChannelOrder::kRgb);  // pixels stored red, green, blue
//   auto transform = norm->Fit(sample);           // measured once, applied to any pixels
//   norm->Norm(source, output, histonorm::ChannelOrder::kBgr, {lines, {}});  // this call's lines elsewhere
//
// Images are 8-bit, 3-channel BGR cv::Mat (CV_8UC3; CalcStats and Norm also take red-green-blue
// pixels when told their ChannelOrder) of any row stride: rows are located through the
// matrix's own step, and bytes between the end of a row and the next row are never read or
// written. The public operations check their arguments and then call the method's private steps,
// so no method ever sees an image it cannot handle.
//
// A normaliser with a target is a value: Norm, Fit and every other const member change nothing,
// so any number of threads may call them on one normaliser at once (each call's lines reach the
// log in the order of that call). CalcStats and LoadTarget change the target: they need the
// normaliser to themselves, as any write does; Copy gives a normaliser to change while others read.
#include <iosfwd>
#include <memory>
#include <opencv2/core.hpp>
#include <utility>

#include "histonorm/fitted_transform.h"
#include "histonorm/log_sink.h"
#include "histonorm/stain_diagnostics.h"

namespace histonorm {

namespace detail {
struct TargetRecord;  // a method's saved target statistics (see saved_target.h)
}  // namespace detail

// Where the lines and the diagnostics of the operations go: a normaliser's own ones are those of
// its Options; a Norm or Fit call may be given others.
struct CallSinks {
  LogSink log;
  DiagnosticSink diagnostics;  // the stain method's; ignored by the other methods
};

class CNormBase {
 public:
  virtual ~CNormBase() = default;
  CNormBase& operator=(const CNormBase&) = delete;

  // ensures: a normaliser of the same method, settings, sinks and target, independent of this one
  //   (the stain method's colour model is shared, never read again): the same inputs give the
  //   same bytes and lines.
  [[nodiscard]] std::unique_ptr<CNormBase> Copy() const { return CopyOf(); }

  // Adds one target image to the target statistics.
  // requires: `image` is CV_8UC3 and not empty.
  // ensures: the target describes every image added so far (for the stain method, HasUsableTarget
  //   tells whether that target can transform images).
  // throws: std::invalid_argument (naming the image's size and type) when `image` is unsuitable,
  //   before anything changes; ModelLoadError never (the model was read at construction).
  void CalcStats(const cv::Mat& image);

  // The same for pixels stored in `order` (ChannelOrder::kRgb: red, green, blue).
  // requires, throws: as CalcStats(image).
  // ensures: the target statistics and the lines logged are those of CalcStats on the image
  //   converted to BGR; the image is only read.
  void CalcStats(const cv::Mat& image, ChannelOrder order);

  // Writes the normalised version of `input` into `output`.
  // requires: `input` is CV_8UC3 and not empty; `output` has the input's size and type CV_8UC3
  //   (its step may differ); HasUsableTarget().
  // ensures: every pixel of `output` is written and nothing else of it; the normaliser itself is
  //   unchanged, so the same input always gives the same output.
  // throws: std::invalid_argument (naming sizes and types) for an unsuitable input or output, and
  //   std::logic_error when there is no usable target; `output` is then untouched.
  void Norm(const cv::Mat& input, cv::Mat& output) const;

  // The same for pixels stored in `order`, written in that order. `input` may be `output` itself.
  // requires, throws: as Norm(input, output).
  // ensures: as Norm(input, output), and with kRgb `output` holds exactly the bytes of converting
  //   the input to BGR, normalising and converting the result back, and the lines logged are the
  //   same. Reinhard and the histogram methods read and write the pixels in place without such
  //   conversions; the stain method, whose own work dwarfs them, converts.
  void Norm(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const;

  // The same, with this call's lines and diagnostics handed to `sinks` instead of the normaliser's own.
  // requires, throws: as Norm(input, output).
  // ensures: as Norm(input, output, order); the bytes never depend on the sinks.
  void Norm(const cv::Mat& input, cv::Mat& output, ChannelOrder order, const CallSinks& sinks) const;

  // The same into a new image of the input's size.
  // requires, throws: as Norm(input, output).
  // ensures: the result is CV_8UC3 of the input's size, equal to what Norm(input, output) writes.
  [[nodiscard]] cv::Mat Norm(const cv::Mat& input) const;

  // Measures `source` as Norm does and returns the resulting colour transform.
  // requires: `source` is CV_8UC3 and not empty; HasUsableTarget().
  // ensures: the result is independent of this normaliser (it may outlive it) and
  //   Fit(image)->Apply(image) writes the bytes Norm(image) writes; the lines logged are those of
  //   Norm's measuring steps (and the stain method hands its diagnostics as Norm does); applying the
  //   result logs nothing.
  // throws: as Norm.
  [[nodiscard]] std::unique_ptr<const FittedTransform> Fit(const cv::Mat& source) const;
  // The same, the lines and diagnostics handed to `sinks`.
  [[nodiscard]] std::unique_ptr<const FittedTransform> Fit(const cv::Mat& source,
                                                           const CallSinks& sinks) const;

  // ensures: true once the target can transform images: after the first CalcStats, and for the
  //   stain method once the pooled stain estimate of the target images is usable.
  [[nodiscard]] bool HasUsableTarget() const { return TargetReady(); }

  // ensures: the sinks the normaliser was made with (CalcStats and the calls given none use them).
  [[nodiscard]] const CallSinks& OwnSinks() const { return sinks_; }

 protected:
  explicit CNormBase(CallSinks sinks = {}) : sinks_(std::move(sinks)) {}
  CNormBase(const CNormBase&) = default;

  // For methods whose own work reads blue-green-red pixels.
  // ensures: `image` itself for ChannelOrder::kBgr, else a blue-green-red copy of it.
  [[nodiscard]] static cv::Mat ToBgr(const cv::Mat& image, ChannelOrder order);
  // requires: `output` has the size and type CV_8UC3 of `bgr`.
  // ensures: `output` holds the pixels of `bgr` stored in `order`.
  static void FromBgr(const cv::Mat& bgr, cv::Mat& output, ChannelOrder order);

 private:
  friend void SaveTarget(const CNormBase& normaliser, std::ostream& out);
  friend void LoadTarget(CNormBase& normaliser, std::istream& in);

  // The method's steps, called with checked arguments only; pixels are stored in `order`.
  virtual void MeasureTarget(const cv::Mat& image, ChannelOrder order) = 0;
  virtual void Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                         const CallSinks& sinks) const = 0;
  [[nodiscard]] virtual std::unique_ptr<const FittedTransform> FitSource(const cv::Mat& source,
                                                                         const CallSinks& sinks) const = 0;
  [[nodiscard]] virtual bool TargetReady() const = 0;
  [[nodiscard]] virtual std::unique_ptr<CNormBase> CopyOf() const = 0;
  // Saving and loading the target (called with a usable target, and with a record whose format
  // and version were checked). By default a method cannot: both throw std::logic_error.
  virtual void ExportTarget(detail::TargetRecord& record) const;
  virtual void ImportTarget(const detail::TargetRecord& record);

  CallSinks sinks_;
};

}  // namespace histonorm
