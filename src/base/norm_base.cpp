#include "histonorm/norm_base.h"

#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

namespace histonorm {

namespace {

std::string Describe(const cv::Mat& image) {
  return std::to_string(image.cols) + "x" + std::to_string(image.rows) + " " + cv::typeToString(image.type());
}

void RequireColourImage(const cv::Mat& image, const char* what) {
  if (image.empty() || image.type() != CV_8UC3) {
    throw std::invalid_argument(std::string(what) + " must be a non-empty CV_8UC3 image, not " +
                                Describe(image));
  }
}

void RequireOutputLike(const cv::Mat& input, const cv::Mat& output, const char* what) {
  if (output.size() != input.size() || output.type() != CV_8UC3) {
    throw std::invalid_argument(std::string(what) + ": the output is " + Describe(output) + " but must be " +
                                std::to_string(input.cols) + "x" + std::to_string(input.rows) +
                                " CV_8UC3 like the input");
  }
}

}  // namespace

void CNormBase::CalcStats(const cv::Mat& image) { CalcStats(image, ChannelOrder::kBgr); }

void CNormBase::CalcStats(const cv::Mat& image, ChannelOrder order) {
  RequireColourImage(image, "CalcStats: the target image");
  MeasureTarget(image, order);
}

void CNormBase::Norm(const cv::Mat& input, cv::Mat& output) const { Norm(input, output, ChannelOrder::kBgr); }

void CNormBase::Norm(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const {
  Norm(input, output, order, sinks_);
}

void CNormBase::Norm(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                     const CallSinks& sinks) const {
  RequireColourImage(input, "Norm: the input");
  RequireOutputLike(input, output, "Norm");
  if (!HasUsableTarget()) throw std::logic_error("Norm: no usable target; CalcStats must measure one first");
  Normalise(input, output, order, sinks);
}

cv::Mat CNormBase::ToBgr(const cv::Mat& image, ChannelOrder order) {
  if (order == ChannelOrder::kBgr) return image;
  // OpenCV's conversion runs on its threads, which follow the run's setting.
  cv::Mat bgr;
  cv::cvtColor(image, bgr, cv::COLOR_RGB2BGR);
  return bgr;
}

void CNormBase::FromBgr(const cv::Mat& bgr, cv::Mat& output, ChannelOrder order) {
  // `output` has the size and type of `bgr`, so the conversion writes into its own memory.
  if (order == ChannelOrder::kBgr)
    bgr.copyTo(output);
  else
    cv::cvtColor(bgr, output, cv::COLOR_BGR2RGB);
}

std::unique_ptr<const FittedTransform> CNormBase::Fit(const cv::Mat& source) const {
  return Fit(source, sinks_);
}

std::unique_ptr<const FittedTransform> CNormBase::Fit(const cv::Mat& source, const CallSinks& sinks) const {
  RequireColourImage(source, "Fit: the source");
  if (!HasUsableTarget()) throw std::logic_error("Fit: no usable target; CalcStats must measure one first");
  return FitSource(source, sinks);
}

void FittedTransform::Apply(const cv::Mat& input, cv::Mat& output) const {
  Apply(input, output, ChannelOrder::kBgr);
}

void FittedTransform::Apply(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const {
  RequireColourImage(input, "Apply: the input");
  RequireOutputLike(input, output, "Apply");
  Transform(input, output, order);
}

cv::Mat FittedTransform::Apply(const cv::Mat& input) const {
  RequireColourImage(input, "Apply: the input");
  cv::Mat output(input.size(), CV_8UC3);
  Transform(input, output, ChannelOrder::kBgr);
  return output;
}

cv::Mat CNormBase::Norm(const cv::Mat& input) const {
  RequireColourImage(input, "Norm: the input");
  cv::Mat output(input.size(), CV_8UC3);
  Norm(input, output);
  return output;
}

}  // namespace histonorm
