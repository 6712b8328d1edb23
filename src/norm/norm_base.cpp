#include "histonorm/norm_base.h"

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

void CNormBase::CalcStats(const cv::Mat& image) {
  RequireColourImage(image, "CalcStats: the target image");
  MeasureTarget(image);
}

void CNormBase::Norm(const cv::Mat& input, cv::Mat& output) {
  RequireColourImage(input, "Norm: the input");
  RequireOutputLike(input, output, "Norm");
  if (!HasUsableTarget()) throw std::logic_error("Norm: no usable target; CalcStats must measure one first");
  Normalise(input, output);
}

std::unique_ptr<const FittedTransform> CNormBase::Fit(const cv::Mat& source) {
  RequireColourImage(source, "Fit: the source");
  if (!HasUsableTarget()) throw std::logic_error("Fit: no usable target; CalcStats must measure one first");
  return FitSource(source);
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

cv::Mat CNormBase::Norm(const cv::Mat& input) {
  RequireColourImage(input, "Norm: the input");
  cv::Mat output(input.size(), CV_8UC3);
  Norm(input, output);
  return output;
}

}  // namespace histonorm
