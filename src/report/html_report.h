#pragma once
// The report of a run: one self-contained HTML page (no script, nothing fetched) with the run's
// settings, the target, a plot of every image's mean tissue a*/b* before and after normalisation, and
// per image its thumbnails before and after, the checks (failed ones marked) and, for the stain
// methods, the estimated stain vectors as colour swatches beside a plot of the curves that remapped
// each stain channel. Images that fail a check come first.
//
//   report::HtmlReport page(info);
//   page.SetTarget(report::Thumbnail(reference), checkTarget);
//   page.Add({"a.png", report::Thumbnail(source), report::Thumbnail(result), CheckResult(...), {}});
//   const std::string html = page.Html();   // saved by the caller
#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "histonorm/result_check.h"

namespace histonorm::report {

// The longest side of a thumbnail, in pixels.
constexpr int kThumbnailSide = 256;

// `image` (CV_8UC3, not empty) shrunk by area averaging so that its longer side is at most
// kThumbnailSide; a smaller image is returned as it is.
[[nodiscard]] cv::Mat Thumbnail(const cv::Mat& image);

// The settings of the run, each shown as given; empty ones are left out.
struct RunInfo {
  std::string program;  // "histonorm" or "histonorm-slide"
  std::string version;
  std::string method;
  std::string model;        // colour model file
  std::string modelSha256;  // its digest
  std::string target;       // the reference image, target file or "mean of the list"
  std::string threads;
  std::string started;  // UTC time the run started
};

// What a stain method estimated on one image (empty for the other methods).
struct StainFigures {
  std::string vectors;  // one stain per line, red green blue optical density
  // Per stain channel, the mapped value of the channel values 0, 10, ..., 500 (see
  // StainDiagnostics::curves); empty when not known.
  std::array<std::vector<float>, 2> curves;
};

struct ImageEntry {
  std::string name;
  cv::Mat source;  // thumbnails, CV_8UC3
  cv::Mat result;
  ResultCheck check;
  StainFigures stain;
  std::string note;  // a line shown under the name, e.g. what a slide's thumbnail shows
};

class HtmlReport {
 public:
  explicit HtmlReport(RunInfo info) : info_(std::move(info)) {}

  // The target's thumbnail (may be empty: a saved target has no image) and its colours.
  void SetTarget(cv::Mat thumbnail, const CheckTarget& target);
  void Add(ImageEntry entry) { entries_.push_back(std::move(entry)); }

  // ensures: a whole HTML document; every thumbnail is a JPEG data URI, every plot inline SVG.
  [[nodiscard]] std::string Html() const;

 private:
  RunInfo info_;
  cv::Mat targetThumbnail_;
  bool hasTargetColour_ = false;
  LabColour targetColour_{};
  std::vector<ImageEntry> entries_;
};

}  // namespace histonorm::report
