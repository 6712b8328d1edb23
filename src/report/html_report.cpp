#include "report/html_report.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <optional>
#include <sstream>

namespace histonorm::report {

namespace {

// JPEG quality of the thumbnails: small files, colours true enough to compare by eye.
constexpr int kJpegQuality = 70;

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Fixed(double value, int digits) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.*f", digits, value);
  return text.data();
}

std::string JpegDataUri(const cv::Mat& image) {
  std::vector<std::uint8_t> bytes;
  cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, kJpegQuality});
  const std::unique_ptr<gchar, decltype(&g_free)> text(g_base64_encode(bytes.data(), bytes.size()), &g_free);
  return std::string("data:image/jpeg;base64,") + text.get();
}

std::string ImageTag(const cv::Mat& image, const std::string& alt) {
  if (image.empty()) return "<span class=\"none\">no image</span>";
  return "<img src=\"" + JpegDataUri(image) + "\" width=\"" + std::to_string(image.cols) + "\" height=\"" +
         std::to_string(image.rows) + "\" alt=\"" + Escaped(alt) + "\">";
}

// The scale of the a*/b* plot: a square around every point, with a margin.
struct PlotScale {
  double low = 0, high = 1;
  static constexpr double kSide = 360, kMargin = 30;

  [[nodiscard]] double X(double a) const {
    return kMargin + (a - low) / (high - low) * (kSide - 2 * kMargin);
  }
  [[nodiscard]] double Y(double b) const {
    return kSide - kMargin - (b - low) / (high - low) * (kSide - 2 * kMargin);
  }
};

std::string Number(double value) { return Fixed(value, 1); }

// Mean tissue a*/b* of every image before (hollow) and after (filled), joined by a line, and the
// target (a cross).
std::string ScatterSvg(const std::vector<ImageEntry>& entries, bool hasTarget, const LabColour& target) {
  std::vector<double> values;
  for (const ImageEntry& e : entries) {
    values.insert(values.end(), {e.check.tissueBefore[1], e.check.tissueBefore[2], e.check.tissueAfter[1],
                                 e.check.tissueAfter[2]});
  }
  if (hasTarget) values.insert(values.end(), {target[1], target[2]});
  PlotScale s;
  if (!values.empty()) {
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    s.low = std::floor(*low / 5 - 1) * 5;
    s.high = std::max(std::ceil(*high / 5 + 1) * 5, s.low + 10);
  }
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"360\" height=\"360\" viewBox=\"0 0 360 360\">"
      << "<rect x=\"0\" y=\"0\" width=\"360\" height=\"360\" fill=\"#fff\" stroke=\"#ccc\"/>";
  for (double v = s.low; v <= s.high + 1e-9; v += 5) {
    const bool zero = std::abs(v) < 1e-9;
    const char* colour = zero ? "#999" : "#eee";
    svg << "<line x1=\"" << Number(s.X(v)) << "\" y1=\"30\" x2=\"" << Number(s.X(v))
        << "\" y2=\"330\" stroke=\"" << colour << "\"/><line x1=\"30\" y1=\"" << Number(s.Y(v))
        << "\" x2=\"330\" y2=\"" << Number(s.Y(v)) << "\" stroke=\"" << colour << "\"/>";
  }
  svg << "<text x=\"180\" y=\"352\" text-anchor=\"middle\" font-size=\"12\">a* " << Number(s.low) << " to "
      << Number(s.high) << "</text><text x=\"12\" y=\"180\" font-size=\"12\" transform=\"rotate(-90 12 180)\""
      << " text-anchor=\"middle\">b*</text>";
  for (const ImageEntry& e : entries) {
    const char* colour = e.check.Passed() ? "#2a7" : "#d33";
    const double x0 = s.X(e.check.tissueBefore[1]), y0 = s.Y(e.check.tissueBefore[2]);
    const double x1 = s.X(e.check.tissueAfter[1]), y1 = s.Y(e.check.tissueAfter[2]);
    svg << "<g><title>" << Escaped(e.name) << "</title><line x1=\"" << Number(x0) << "\" y1=\"" << Number(y0)
        << "\" x2=\"" << Number(x1) << "\" y2=\"" << Number(y1) << "\" stroke=\"#bbb\"/><circle cx=\""
        << Number(x0) << "\" cy=\"" << Number(y0) << "\" r=\"4\" fill=\"none\" stroke=\"#888\"/><circle cx=\""
        << Number(x1) << "\" cy=\"" << Number(y1) << "\" r=\"4\" fill=\"" << colour << "\"/></g>";
  }
  if (hasTarget) {
    const double x = s.X(target[1]), y = s.Y(target[2]);
    svg << "<g stroke=\"#000\" stroke-width=\"2\"><title>target</title><line x1=\"" << Number(x - 7)
        << "\" y1=\"" << Number(y) << "\" x2=\"" << Number(x + 7) << "\" y2=\"" << Number(y)
        << "\"/><line x1=\"" << Number(x) << "\" y1=\"" << Number(y - 7) << "\" x2=\"" << Number(x)
        << "\" y2=\"" << Number(y + 7) << "\"/></g>";
  }
  svg << "</svg>";
  return svg.str();
}

// One row of the checks' table; failed rows are marked.
std::string CheckRow(const std::string& what, const std::string& before, const std::string& after,
                     const std::string& limit, bool failed) {
  return std::string("<tr") + (failed ? " class=\"fail\"" : "") + "><td>" + what + "</td><td>" + before +
         "</td><td>" + after + "</td><td>" + limit + "</td></tr>";
}

std::string ChecksTable(const ResultCheck& c) {
  std::string rows =
      "<table class=\"checks\"><tr><th>check</th><th>before</th><th>after</th><th>limit</th></tr>";
  if (c.glassChecked) {
    rows += CheckRow("glass L*", Fixed(c.glassLightBefore, 1), Fixed(c.glassLightAfter, 1),
                     "&ge; " + Fixed(c.glassLightMin, 1), (c.failed & kGlassDarkened) != 0);
    rows += CheckRow("glass chroma", Fixed(c.glassChromaBefore, 1), Fixed(c.glassChromaAfter, 1),
                     "&le; " + Fixed(c.glassChromaMax, 1), (c.failed & kGlassTinted) != 0);
  } else {
    rows += CheckRow("glass", "", "", "too little to check", false);
  }
  rows += CheckRow("grey SSIM", "", Fixed(c.ssim, 3), "&ge; " + Fixed(CheckThresholds::kMinSsim, 2),
                   (c.failed & kStructureLost) != 0);
  if (c.tissueChecked) {
    const std::string limit = "&le; " + Fixed(CheckThresholds::kDistanceRatio, 1) +
                              " &times; before or &le; " + Fixed(CheckThresholds::kCloseDistance, 0);
    rows += CheckRow("dark tissue &Delta;E to target", Fixed(c.darkBefore, 1), Fixed(c.darkAfter, 1), limit,
                     (c.failed & kDarkTissueOff) != 0);
    rows += CheckRow("bright tissue &Delta;E to target", Fixed(c.brightBefore, 1), Fixed(c.brightAfter, 1),
                     limit, (c.failed & kBrightTissueOff) != 0);
  } else {
    rows += CheckRow("tissue colour", "", "", "no target colours to compare", false);
  }
  return rows + "</table>";
}

// The colour of one unit of a stain on white, from its vector line (optical density, red green
// blue); none for a line that holds no stain.
std::optional<std::array<int, 3>> StainColour(const std::string& line) {
  std::istringstream numbers(line);
  std::array<double, 3> od{};
  if (!(numbers >> od[0] >> od[1] >> od[2]) || od[0] + od[1] + od[2] <= 0) return std::nullopt;
  std::array<int, 3> rgb{};
  for (std::size_t k = 0; k < 3; ++k) {
    rgb[k] = static_cast<int>(std::lround(255.0 * std::pow(10.0, -std::max(0.0, od[k]))));
  }
  return rgb;
}

std::string CssColour(const std::array<int, 3>& rgb) {
  return "rgb(" + std::to_string(rgb[0]) + "," + std::to_string(rgb[1]) + "," + std::to_string(rgb[2]) + ")";
}

// The stain vectors' lines, one per stain, at least two (absent ones empty).
std::vector<std::string> StainLines(const std::string& vectors) {
  std::vector<std::string> lines;
  std::istringstream text(vectors);
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  if (lines.size() < 2) lines.resize(2);
  return lines;
}

// Each stain vector as a swatch of its colour.
std::string StainSwatches(const std::string& vectors) {
  std::string html;
  for (const std::string& line : StainLines(vectors)) {
    if (const auto rgb = StainColour(line)) {
      html += "<span class=\"swatch\" title=\"" + Escaped(line) + "\" style=\"background:" + CssColour(*rgb) +
              "\"></span>";
    }
  }
  return html;
}

// The curves that remapped the stain channels: mapped value over channel value (both from 0, the
// channel values up to 500), each in its stain's colour, over the unchanged line (dashed).
std::string CurvesSvg(const StainFigures& stain) {
  constexpr double kSide = 170, kLeft = 30, kRight = 8, kTop = 8, kBottom = 24, kLargestInput = 500;
  double largest = kLargestInput;
  for (const std::vector<float>& curve : stain.curves) {
    for (const float v : curve) largest = std::max(largest, static_cast<double>(v));
  }
  const auto x = [&](double v) { return kLeft + v / kLargestInput * (kSide - kLeft - kRight); };
  const auto y = [&](double v) { return kSide - kBottom - v / largest * (kSide - kBottom - kTop); };
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"170\" height=\"170\" viewBox=\"0 0 170 170\">"
      << "<rect x=\"" << kLeft << "\" y=\"" << kTop << "\" width=\"" << kSide - kLeft - kRight
      << "\" height=\"" << kSide - kTop - kBottom << "\" fill=\"#fff\" stroke=\"#ccc\"/><line x1=\""
      << Number(x(0)) << "\" y1=\"" << Number(y(0)) << "\" x2=\"" << Number(x(kLargestInput)) << "\" y2=\""
      << Number(y(kLargestInput)) << "\" stroke=\"#999\" stroke-dasharray=\"4 3\"/>"
      << "<text x=\"" << Number(x(kLargestInput / 2)) << "\" y=\"" << kSide - 6
      << "\" text-anchor=\"middle\" font-size=\"11\">channel 0 to 500</text><text x=\"12\" y=\""
      << Number(y(largest / 2)) << "\" font-size=\"11\" text-anchor=\"middle\" transform=\"rotate(-90 12 "
      << Number(y(largest / 2)) << ")\">mapped 0 to " << Fixed(largest, 0) << "</text>";
  const std::vector<std::string> lines = StainLines(stain.vectors);
  static constexpr std::array<const char*, 2> kNoColour = {"#444", "#aaa"};
  for (std::size_t k = 0; k < 2; ++k) {
    const std::vector<float>& curve = stain.curves[k];
    if (curve.size() < 2) continue;
    const auto rgb = StainColour(lines[k]);
    svg << "<polyline fill=\"none\" stroke-width=\"2\" stroke=\"" << (rgb ? CssColour(*rgb) : kNoColour[k])
        << "\" points=\"";
    const double step = kLargestInput / static_cast<double>(curve.size() - 1);
    for (std::size_t i = 0; i < curve.size(); ++i) {
      svg << (i == 0 ? "" : " ") << Number(x(step * static_cast<double>(i))) << "," << Number(y(curve[i]));
    }
    svg << "\"><title>stain " << k + 1 << " channel curve</title></polyline>";
  }
  svg << "</svg>";
  return svg.str();
}

// The stain method's figures: its stain vectors as swatches and its channel curves.
std::string StainFiguresHtml(const StainFigures& stain) {
  const bool curves = !stain.curves[0].empty() || !stain.curves[1].empty();
  if (stain.vectors.empty() && !curves) return {};
  std::string html = "<div class=\"stains\">stains " + StainSwatches(stain.vectors);
  if (curves) {
    html += "<figure>" + CurvesSvg(stain) +
            "<figcaption>stain channel curves (dashed: unchanged)</figcaption></figure>";
  }
  return html + "</div>";
}

std::string EntryHtml(const ImageEntry& e) {
  const bool passed = e.check.Passed();
  std::string html = std::string("<section class=\"image") + (passed ? "" : " wrong") + "\"><h3>" +
                     Escaped(e.name) + " <span class=\"verdict\">" +
                     (passed ? "looks right" : "looks wrong: " + e.check.Summary()) + "</span></h3>";
  if (!e.note.empty()) html += "<p class=\"note\">" + Escaped(e.note) + "</p>";
  html += "<div class=\"pair\"><figure>" + ImageTag(e.source, e.name + " before") +
          "<figcaption>before</figcaption></figure><figure>" + ImageTag(e.result, e.name + " after") +
          "<figcaption>after</figcaption></figure><div>" + ChecksTable(e.check) + StainFiguresHtml(e.stain) +
          "</div></div>";
  return html + "</section>\n";
}

constexpr const char* kStyle =
    "body{font:14px sans-serif;margin:20px;color:#222}table{border-collapse:collapse}"
    "td,th{padding:2px 8px;text-align:left;border-bottom:1px solid #eee}"
    "tr.fail td{color:#b00;font-weight:bold}section.image{margin:12px 0;padding:8px;border:1px solid #ddd}"
    "section.wrong{border-color:#d33;background:#fff6f6}.verdict{font-weight:normal;font-size:13px}"
    "section.wrong .verdict{color:#b00}.pair{display:flex;gap:12px;align-items:flex-start;flex-wrap:wrap}"
    "figure{margin:0}figcaption{font-size:12px;color:#666}.swatch{display:inline-block;width:24px;height:"
    "24px;"
    "margin:0 4px;border:1px solid "
    "#999;vertical-align:middle}.top{display:flex;gap:24px;flex-wrap:wrap;align-items:flex-start}"
    ".note{color:#666;margin:2px 0}.stains{display:flex;gap:8px;align-items:center;margin-top:6px}";

}  // namespace

cv::Mat Thumbnail(const cv::Mat& image) {
  const int longer = std::max(image.cols, image.rows);
  if (longer <= kThumbnailSide) return image;
  // Area averaging over every pixel of a large image costs more than the rest of the report: it
  // averages over a grid of pixels at about twice the thumbnail's resolution instead.
  const int step = longer / (2 * kThumbnailSide);
  cv::Mat grid = image;
  if (step > 1)
    cv::resize(image, grid, cv::Size(image.cols / step, image.rows / step), 0, 0, cv::INTER_NEAREST);
  const double scale = static_cast<double>(kThumbnailSide) / longer;
  cv::Mat small;
  cv::resize(grid, small,
             cv::Size(std::max(1, static_cast<int>(std::lround(image.cols * scale))),
                      std::max(1, static_cast<int>(std::lround(image.rows * scale)))),
             0, 0, cv::INTER_AREA);
  return small;
}

void HtmlReport::SetTarget(cv::Mat thumbnail, const CheckTarget& target) {
  targetThumbnail_ = std::move(thumbnail);
  hasTargetColour_ = target.HasTissue();
  targetColour_ = target.Tissue();
}

std::string HtmlReport::Html() const {
  std::vector<const ImageEntry*> order;
  for (const ImageEntry& e : entries_) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const ImageEntry* a, const ImageEntry* b) {
    return !a->check.Passed() && b->check.Passed();
  });
  const auto wrong =
      std::count_if(order.begin(), order.end(), [](const ImageEntry* e) { return !e->check.Passed(); });
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + Escaped(info_.program) +
      " report</title><style>" + kStyle + "</style></head><body>\n<h1>" + Escaped(info_.program) +
      " report</h1>\n<p class=\"summary\">" + std::to_string(wrong) + " of " +
      std::to_string(entries_.size()) + (entries_.size() == 1 ? " image looks" : " images look") +
      " wrong.</p>\n<div class=\"top\">" + "<figure>" +
      ScatterSvg(entries_, hasTargetColour_, targetColour_) +
      "<figcaption>mean tissue a*/b*: before (hollow), after (filled: green looks right, red "
      "wrong), target (cross)</figcaption></figure><table class=\"settings\">";
  const std::pair<const char*, const std::string*> settings[] = {
      {"method", &info_.method},        {"colour model", &info_.model}, {"model SHA-256", &info_.modelSha256},
      {"target", &info_.target},        {"version", &info_.version},    {"threads", &info_.threads},
      {"started (UTC)", &info_.started}};
  for (const auto& [name, value] : settings) {
    if (!value->empty())
      html += "<tr><th>" + std::string(name) + "</th><td>" + Escaped(*value) + "</td></tr>";
  }
  html += "</table><figure>" + ImageTag(targetThumbnail_, "target") +
          "<figcaption>target</figcaption></figure></div>\n";
  for (const ImageEntry* e : order) html += EntryHtml(*e);
  return html + "</body></html>\n";
}

}  // namespace histonorm::report
