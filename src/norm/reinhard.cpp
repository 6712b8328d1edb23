#include "norm/reinhard.h"

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "common/image_colours.h"
#include "common/log_line.h"
#include "histonorm/saved_target.h"
#include "norm/colour_map_transform.h"
#include "norm/lab_colour.h"
#include "norm/target_record.h"

namespace histonorm {

namespace {

// Relative rounding of a single-precision square, with a factor of two to spare.
constexpr double kSquareRounding = 2.0 * std::numeric_limits<float>::epsilon();

void LogStats(const LogSink& log, const LabStats& s) {
  LogLine(log, s.mean[0], ",", s.mean[1], ",", s.mean[2], " ", s.sd[0], ",", s.sd[1], ",", s.sd[2]);
}

// The distinct colours of an image with their l, alpha, beta values: the transform is costly and
// depends only on the colour, so each distinct colour is transformed once.
struct ColourLabs {
  explicit ColourLabs(const cv::Mat& image) : colours(image) {
    labs.reserve(colours.Keys().size());
    for (const std::uint32_t key : colours.Keys()) {
      labs.push_back(BgrToLab(ImageColours::KeyByte(key, 0), ImageColours::KeyByte(key, 1),
                              ImageColours::KeyByte(key, 2)));
    }
  }
  ImageColours colours;
  std::vector<Lab> labs;
};

// Adds every pixel, rows in order and pixels in order, so the sums are those of a plain pixel loop.
void AddPixels(LabSums& sums, const ColourLabs& image) {
  for (const std::uint32_t n : image.colours.PixelIndices()) {
    const Lab& lab = image.labs[n];
    for (int c = 0; c < 3; ++c) {
      sums.sum[c] += static_cast<double>(lab[c]);
      sums.sumSquares[c] += static_cast<double>(lab[c] * lab[c]);
    }
    ++sums.count;
  }
}

// The source statistics of an image, logged as Norm logs them.
LabStats MeasureSource(const ColourLabs& image, const LogSink& log) {
  LabSums sums;
  AddPixels(sums, image);
  const LabStats source = sums.Stats();
  LogLine(log, source.sd[0], "vs", source.mean[0] * source.mean[0]);
  LogStats(log, source);
  return source;
}

// Output bytes (blue, green, red) of an input colour given as l, alpha, beta.
std::array<std::uint8_t, 3> MapLabColour(Lab lab, const LabStats& source, const LabStats& target) {
  for (int c = 0; c < 3; ++c) {
    lab[c] = MapLabChannelValue(lab[c], source.mean[c], source.sd[c], target.mean[c], target.sd[c]);
  }
  const std::array<float, 3> values = LabToBgrValues(lab);
  return {ColourValueToByte(values[0]), ColourValueToByte(values[1]), ColourValueToByte(values[2])};
}

// Reinhard's mapping between fixed source and target statistics.
class ReinhardTransform final : public ColourMapTransform {
 public:
  ReinhardTransform(const LabStats& source, const LabStats& target) : source_(source), target_(target) {}

 private:
  void MapColours(const cv::Mat& colours, cv::Mat& mapped) const override {
    mapped.create(colours.size(), CV_8UC3);
    const std::uint8_t* in = colours.ptr<std::uint8_t>(0);
    std::uint8_t* out = mapped.ptr<std::uint8_t>(0);
    for (int i = 0; i < colours.cols; ++i, in += 3, out += 3) {
      const std::array<std::uint8_t, 3> m = MapLabColour(BgrToLab(in[0], in[1], in[2]), source_, target_);
      out[0] = m[0];
      out[1] = m[1];
      out[2] = m[2];
    }
  }

  LabStats source_;
  LabStats target_;
};

}  // namespace

void LabSums::Add(const cv::Mat& image) { AddPixels(*this, ColourLabs(image)); }

LabStats LabSums::Stats() const {
  LabStats s;
  const double n = static_cast<double>(count);
  for (int c = 0; c < 3; ++c) {
    s.mean[c] = sum[c] / n;
    // The squares are rounded to single precision, so a uniform channel's variance comes out as
    // their rounding error, of either sign: a variance within it is that of a uniform channel.
    const double meanSquare = sumSquares[c] / n;
    const double variance = meanSquare - s.mean[c] * s.mean[c];
    s.sd[c] = variance > meanSquare * kSquareRounding ? std::sqrt(variance) : 0.0;
  }
  return s;
}

float MapLabChannelValue(float x, double sourceMean, double sourceSd, double targetMean, double targetSd) {
  if (!(sourceSd > 0.0) || !(targetSd > 0.0) || !std::isfinite(sourceSd) || !std::isfinite(targetSd)) {
    return static_cast<float>(targetMean);
  }
  return static_cast<float>(((x - sourceMean) * targetSd / sourceSd) + targetMean);
}

void CNormReinhard::MeasureTarget(const cv::Mat& image) {
  targetSums_.Add(image);
  target_ = targetSums_.Stats();
  LogStats(log_, target_);
}

void CNormReinhard::Normalise(const cv::Mat& input, cv::Mat& output) {
  const ColourLabs image(input);
  const LabStats source = MeasureSource(image, log_);

  // The output colour depends only on the input colour: map each distinct colour once.
  std::vector<std::array<std::uint8_t, 3>> mapped;
  mapped.reserve(image.labs.size());
  for (const Lab& lab : image.labs) mapped.push_back(MapLabColour(lab, source, target_));
  const std::uint32_t* colourOf = image.colours.PixelIndices().data();
  for (int y = 0; y < input.rows; ++y) {
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (int x = 0; x < input.cols; ++x, out += 3, ++colourOf) {
      const auto& m = mapped[*colourOf];
      out[0] = m[0];
      out[1] = m[1];
      out[2] = m[2];
    }
  }
}

std::unique_ptr<const FittedTransform> CNormReinhard::FitSource(const cv::Mat& source) {
  return std::make_unique<ReinhardTransform>(MeasureSource(ColourLabs(source), log_), target_);
}

}  // namespace histonorm

namespace histonorm {

void CNormReinhard::ExportTarget(detail::TargetRecord& record) const {
  record.method = "Reinhard";
  nlohmann::json sum = nlohmann::json::array();
  nlohmann::json sumSquares = nlohmann::json::array();
  for (int c = 0; c < 3; ++c) {
    sum.push_back(detail::HexDouble(targetSums_.sum[c]));
    sumSquares.push_back(detail::HexDouble(targetSums_.sumSquares[c]));
  }
  record.target = {{"pixels", targetSums_.count}, {"sum", sum}, {"sumSquares", sumSquares}};
}

void CNormReinhard::ImportTarget(const detail::TargetRecord& record) {
  detail::RequireMethod(record, "Reinhard");
  const nlohmann::json& t = record.target;
  LabSums sums;
  sums.count = detail::ReadCount(t.contains("pixels") ? t["pixels"] : nlohmann::json(), "pixels");
  if (sums.count == 0) throw TargetFileError("'pixels' is 0: the target has no pixels");
  const nlohmann::json& sum = detail::ReadArray(t, "sum", 3);
  const nlohmann::json& sumSquares = detail::ReadArray(t, "sumSquares", 3);
  const auto n = static_cast<double>(sums.count);
  for (std::size_t c = 0; c < 3; ++c) {
    const nlohmann::json pair = {{"sum", sum[c]}, {"sumSquares", sumSquares[c]}};
    sums.sum[c] = detail::ReadFiniteDouble(pair, "sum");
    sums.sumSquares[c] = detail::ReadFiniteDouble(pair, "sumSquares");
    // A sum of squares is at least the square of the sum over the count (up to rounding).
    const double mean = sums.sum[c] / n;
    const double meanSquare = sums.sumSquares[c] / n;
    if (sums.sumSquares[c] < 0 || meanSquare - mean * mean < -1e-9 * (1 + std::abs(meanSquare))) {
      throw TargetFileError("the sums of channel " + std::to_string(c) + " do not add up");
    }
  }
  targetSums_ = sums;
  target_ = targetSums_.Stats();
}

}  // namespace histonorm
