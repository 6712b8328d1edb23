#pragma once
// What a run keeps to review its results: the target's colours, each image's checks and, for a
// report, their thumbnails. The images may be inspected on any thread (Inspect is const); the
// entries are added in list order.
//
//   report::RunReview review(wantReport, info);
//   review.AddTarget(reference, true);
//   review.Add(review.Inspect("a.png", source, result, {vectors, curves}));
//   log(review.SummaryLine());   // "1 of 1 image looks wrong: a.png (glass darkened)"
//   if (wantReport) save(review.Html());
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "histonorm/result_check.h"
#include "report/html_report.h"

namespace histonorm::report {

// The exit status of a run that completed but has results that look wrong.
constexpr int kLooksWrongStatus = 3;

// The note of a slide's entry, whose thumbnails show the sample its colours were measured on.
constexpr const char* kSlideSampleNote = "slide: the sample its colours were measured on, before and after";

class RunReview {
 public:
  // thumbnails: whether entries keep thumbnails (for the report).
  RunReview(bool thumbnails, RunInfo info);

  // Adds a target image's colours; its thumbnail is shown as the target when `show`.
  // requires: `image` is CV_8UC3, not empty.
  void AddTarget(const cv::Mat& image, bool show);

  // Checks one result. `stain` as in ImageEntry (may be empty).
  // requires: as CheckResult. Safe to call from several threads at once.
  [[nodiscard]] ImageEntry Inspect(std::string name, const cv::Mat& source, const cv::Mat& result,
                                   StainFigures stain = {}) const;
  void Add(ImageEntry entry);

  [[nodiscard]] bool AnyWrong() const;
  // ensures: "N of M images look wrong" followed, when N > 0, by ": " and each wrong image's name with
  //   its failures in brackets, in list order.
  [[nodiscard]] std::string SummaryLine() const;
  // ensures: the whole report page.
  [[nodiscard]] std::string Html() const;

 private:
  bool thumbnails_;
  RunInfo info_;
  CheckTarget target_;
  cv::Mat targetThumbnail_;
  std::vector<ImageEntry> entries_;
};

// The version of the program, for the report's settings.
[[nodiscard]] std::string ProgramVersion();
// The current time in UTC as "YYYY-MM-DD HH:MM:SS".
[[nodiscard]] std::string UtcNow();

}  // namespace histonorm::report
