#include "report/run_review.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <utility>

namespace histonorm::report {

RunReview::RunReview(bool thumbnails, RunInfo info) : thumbnails_(thumbnails), info_(std::move(info)) {}

void RunReview::AddTarget(const cv::Mat& image, bool show) {
  target_.Add(image);
  if (show && thumbnails_) targetThumbnail_ = Thumbnail(image).clone();
}

ImageEntry RunReview::Inspect(std::string name, const cv::Mat& source, const cv::Mat& result,
                              StainFigures stain) const {
  ImageEntry entry;
  entry.name = std::move(name);
  entry.check = CheckResult(source, result, target_);
  if (thumbnails_) {
    entry.source = Thumbnail(source).clone();
    entry.result = Thumbnail(result).clone();
    entry.stain = std::move(stain);
  }
  return entry;
}

void RunReview::Add(ImageEntry entry) { entries_.push_back(std::move(entry)); }

bool RunReview::AnyWrong() const {
  return std::any_of(entries_.begin(), entries_.end(), [](const ImageEntry& e) { return !e.check.Passed(); });
}

std::string RunReview::SummaryLine() const {
  std::string names;
  std::size_t wrong = 0;
  for (const ImageEntry& e : entries_) {
    if (e.check.Passed()) continue;
    names += (wrong++ == 0 ? ": " : ", ") + e.name + " (" + e.check.Summary() + ")";
  }
  return std::to_string(wrong) + " of " + std::to_string(entries_.size()) +
         (entries_.size() == 1 ? " image looks" : " images look") + " wrong" + names;
}

std::string RunReview::Html() const {
  HtmlReport page(info_);
  page.SetTarget(targetThumbnail_, target_);
  for (const ImageEntry& e : entries_) page.Add(e);
  return page.Html();
}

std::string ProgramVersion() { return HISTONORM_VERSION; }

std::string UtcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &utc);
  return text.data();
}

}  // namespace histonorm::report
