#include "norm/rgb_hist_spec.h"

#include <cmath>
#include <limits>
#include <memory>

#include "histonorm/saved_target.h"
#include "norm/target_record.h"

namespace histonorm {

void CountLevels(const cv::Mat& image, LevelCounts& counts) {
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      ++counts[0][px[0]];
      ++counts[1][px[1]];
      ++counts[2][px[2]];
    }
  }
}

CumulativeTables CumulativeFromCounts(const LevelCounts& counts, std::uint64_t pixelCount,
                                      HistSpecVariant variant) {
  const float n = static_cast<float>(pixelCount);
  CumulativeTables cumulative{};
  float running = 0.0f;
  for (int v = 0; v < 256; ++v) {
    for (int c = 0; c < 3; ++c) {
      float share = static_cast<float>(counts[c][v]) / n;
      if (variant == HistSpecVariant::kPresence && share > 0.0f) share = 1.0f;
      running += share;
      cumulative[c][v] = running;
    }
  }
  return cumulative;
}

LookupTables MatchCumulative(const CumulativeTables& source, const CumulativeTables& target) {
  LookupTables lut{};
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) {
      float best = std::numeric_limits<float>::infinity();
      int bestLevel = 0;
      for (int u = 0; u < 256; ++u) {
        const float distance = std::fabs(source[c][v] - target[c][u]);
        if (distance < best) {
          best = distance;
          bestLevel = u;
        }
      }
      lut[c][v] = static_cast<std::uint8_t>(bestLevel);
    }
  }
  return lut;
}

namespace {

// The one level a channel's pixels use, or -1 when they use none or several.
int SingleLevel(const std::array<std::uint64_t, 256>& counts) {
  int level = -1;
  for (int v = 0; v < 256; ++v) {
    if (counts[v] == 0) continue;
    if (level >= 0) return -1;
    level = v;
  }
  return level;
}

}  // namespace

void PinSingleLevelChannels(const LevelCounts& source, const LevelCounts& target, LookupTables& lut) {
  for (std::size_t c = 0; c < 3; ++c) {
    const int targetLevel = SingleLevel(target[c]);
    if (targetLevel >= 0) {
      lut[c].fill(static_cast<std::uint8_t>(targetLevel));
      continue;
    }
    const int sourceLevel = SingleLevel(source[c]);
    if (sourceLevel >= 0) lut[c][sourceLevel] = static_cast<std::uint8_t>(sourceLevel);
  }
}

void CNormRGBHistSpec::MeasureTarget(const cv::Mat& image) {
  CountLevels(image, targetCounts_);
  targetPixelCount_ += image.total();
  targetCumulative_ = CumulativeFromCounts(targetCounts_, targetPixelCount_, variant_);
}

LookupTables CNormRGBHistSpec::SourceTables(const cv::Mat& input) const {
  LevelCounts counts{};
  CountLevels(input, counts);
  const CumulativeTables source = CumulativeFromCounts(counts, input.total(), variant_);
  LookupTables lut = MatchCumulative(source, targetCumulative_);
  PinSingleLevelChannels(counts, targetCounts_, lut);
  return lut;
}

void ApplyLookupTables(const LookupTables& lut, const cv::Mat& input, cv::Mat& output) {
  for (int y = 0; y < input.rows; ++y) {
    const std::uint8_t* in = input.ptr<std::uint8_t>(y);
    std::uint8_t* out = output.ptr<std::uint8_t>(y);
    for (int x = 0; x < input.cols; ++x, in += 3, out += 3) {
      out[0] = lut[0][in[0]];
      out[1] = lut[1][in[1]];
      out[2] = lut[2][in[2]];
    }
  }
}

void CNormRGBHistSpec::Normalise(const cv::Mat& input, cv::Mat& output) {
  ApplyLookupTables(SourceTables(input), input, output);
}

namespace {

// Fixed per-channel lookup tables.
class LookupTransform final : public FittedTransform {
 public:
  explicit LookupTransform(const LookupTables& lut) : lut_(lut) {}

 private:
  void Transform(const cv::Mat& input, cv::Mat& output) const override {
    ApplyLookupTables(lut_, input, output);
  }

  LookupTables lut_;
};

}  // namespace

std::unique_ptr<const FittedTransform> CNormRGBHistSpec::FitSource(const cv::Mat& source) {
  return std::make_unique<LookupTransform>(SourceTables(source));
}

}  // namespace histonorm

namespace histonorm {

const char* CNormRGBHistSpec::MethodName() const {
  return variant_ == HistSpecVariant::kShares ? "RGBHistSpec" : "RGBHistSpecThresh";
}

void CNormRGBHistSpec::ExportTarget(detail::TargetRecord& record) const {
  record.method = MethodName();
  record.target = {{"pixels", targetPixelCount_},
                   {"blue", targetCounts_[0]},
                   {"green", targetCounts_[1]},
                   {"red", targetCounts_[2]}};
}

void CNormRGBHistSpec::ImportTarget(const detail::TargetRecord& record) {
  detail::RequireMethod(record, MethodName());
  const nlohmann::json& t = record.target;
  const std::uint64_t pixels =
      detail::ReadCount(t.contains("pixels") ? t["pixels"] : nlohmann::json(), "pixels");
  if (pixels == 0) throw TargetFileError("'pixels' is 0: the target has no pixels");
  LevelCounts counts{};
  const std::array<const char*, 3> names = {"blue", "green", "red"};
  for (std::size_t c = 0; c < 3; ++c) {
    const nlohmann::json& levels = detail::ReadArray(t, names[c], 256);
    std::uint64_t total = 0;
    for (std::size_t v = 0; v < 256; ++v) {
      counts[c][v] = detail::ReadCount(levels[v], names[c]);
      if (counts[c][v] > pixels - total) {
        throw TargetFileError(std::string("the '") + names[c] + "' counts exceed 'pixels'");
      }
      total += counts[c][v];
    }
    if (total != pixels)
      throw TargetFileError(std::string("the '") + names[c] + "' counts do not add up to 'pixels'");
  }
  targetCounts_ = counts;
  targetPixelCount_ = pixels;
  targetCumulative_ = CumulativeFromCounts(targetCounts_, targetPixelCount_, variant_);
}

}  // namespace histonorm
