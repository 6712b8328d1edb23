#include "base/tissue_only.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/target_record.h"
#include "common/channel_order.h"
#include "common/parallel_for.h"
#include "histonorm/saved_target.h"

namespace histonorm {

namespace {

// The key of the glass sums in a saved target.
const char kTissueOnlyKey[] = "tissueOnly";

double Density(int level) { return -std::log10((level + 1) / 256.0); }

// The method's weight (out of 256) for a pixel: the higher of a table by its darkest channel and
// one by the spread of its channels.
struct BlendWeights {
  std::array<std::uint16_t, 256> byDarkest{};
  std::array<std::uint16_t, 256> bySpread{};

  BlendWeights() {
    for (int v = 0; v < 256; ++v) {
      const double density = (Density(v) - kGlassBandLow) / (kGlassBandHigh - kGlassBandLow);
      const double spread = (v - (kGlassSpread - kGlassSpreadBand)) / (2.0 * kGlassSpreadBand);
      byDarkest[static_cast<std::size_t>(v)] = Weight(density);
      bySpread[static_cast<std::size_t>(v)] = Weight(spread);
    }
  }
  [[nodiscard]] int Of(const std::uint8_t* px) const {
    const auto [lo, hi] = std::minmax({px[0], px[1], px[2]});
    return std::max(byDarkest[lo], bySpread[hi - lo]);
  }

 private:
  static std::uint16_t Weight(double share) {
    return static_cast<std::uint16_t>(std::lround(std::clamp(share, 0.0, 1.0) * 256.0));
  }
};

// The tissue pixels of `image` (stored in `order`) in blue-green-red order, one row, and the glass
// sums (blue, green, red).
cv::Mat SplitTissue(const cv::Mat& image, ChannelOrder order, GlassSums& glass) {
  std::vector<std::uint8_t> tissue;
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      const std::array<std::uint8_t, 3> bgr = {px[StoredIndex(0, order)], px[1], px[StoredIndex(2, order)]};
      if (IsGlass(px)) {
        for (std::size_t c = 0; c < 3; ++c) glass.sum[c] += bgr[c];
        ++glass.count;
      } else {
        tissue.insert(tissue.end(), bgr.begin(), bgr.end());
      }
    }
  }
  const std::size_t pixels = tissue.size() / 3;
  if (pixels > static_cast<std::size_t>(INT_MAX)) {
    throw std::invalid_argument("tissue-only: more than 2^31 - 1 tissue pixels in one image");
  }
  if (pixels == 0) return {};
  cv::Mat row(1, static_cast<int>(pixels), CV_8UC3);
  std::copy(tissue.begin(), tissue.end(), row.ptr<std::uint8_t>(0));
  return row;
}

// The shift (blue, green, red) that takes the source's glass colour to the target's.
std::array<int, 3> GlassShift(const GlassSums& target, const GlassSums& source) {
  std::array<int, 3> shift{};
  if (target.count == 0 || source.count == 0) return shift;
  for (std::size_t c = 0; c < 3; ++c) {
    const double difference = static_cast<double>(target.sum[c]) / static_cast<double>(target.count) -
                              static_cast<double>(source.sum[c]) / static_cast<double>(source.count);
    shift[c] = static_cast<int>(std::lround(difference));
  }
  return shift;
}

// The method's transform of the source's tissue blended with the glass shift (see tissue_only.h).
class TissueOnlyTransform final : public FittedTransform {
 public:
  TissueOnlyTransform(std::unique_ptr<const FittedTransform> tissue, std::array<int, 3> shift,
                      unsigned threads)
      : tissue_(std::move(tissue)), shift_(shift), threads_(threads) {}

 private:
  void Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const override {
    cv::Mat mapped = input;  // a source without tissue is only shifted
    if (tissue_) {
      mapped = cv::Mat(input.size(), CV_8UC3);
      tissue_->Apply(input, mapped, order);
    }
    const std::array<int, 3> shift = InOrder(shift_, order);
    ParallelFor(
        static_cast<std::size_t>(input.rows), threads_,
        [&](std::size_t begin, std::size_t end) {
          for (auto y = static_cast<int>(begin); y < static_cast<int>(end); ++y) {
            const std::uint8_t* in = input.ptr<std::uint8_t>(y);
            const std::uint8_t* map = mapped.ptr<std::uint8_t>(y);
            std::uint8_t* out = output.ptr<std::uint8_t>(y);
            for (int x = 0; x < input.cols; ++x, in += 3, map += 3, out += 3) {
              const int w = tissue_ ? weights_.Of(in) : 0;
              std::array<std::uint8_t, 3> result{};
              for (std::size_t c = 0; c < 3; ++c) {
                const int glass = std::clamp(in[c] + shift[c], 0, 255);
                result[c] = static_cast<std::uint8_t>((w * map[c] + (256 - w) * glass + 128) >> 8);
              }
              std::copy(result.begin(), result.end(), out);
            }
          }
        },
        MinRowsPerChunk(input.cols));
  }

  std::unique_ptr<const FittedTransform> tissue_;  // none when the source has no tissue
  std::array<int, 3> shift_;                       // blue, green, red
  BlendWeights weights_;
  unsigned threads_;
};

}  // namespace

bool IsGlass(const std::uint8_t* pixel) {
  const auto [lo, hi] = std::minmax({pixel[0], pixel[1], pixel[2]});
  return Density(lo) < kGlassDensity && hi - lo < kGlassSpread;
}

TissueOnlyNormaliser::TissueOnlyNormaliser(std::unique_ptr<CNormBase> method, unsigned threads)
    : CNormBase(method->OwnSinks()), method_(std::move(method)), threads_(threads) {}

void TissueOnlyNormaliser::MeasureTarget(const cv::Mat& image, ChannelOrder order) {
  GlassSums glass;
  const cv::Mat tissue = SplitTissue(image, order, glass);
  if (!tissue.empty()) method_->CalcStats(tissue);
  for (std::size_t c = 0; c < 3; ++c) targetGlass_.sum[c] += glass.sum[c];
  targetGlass_.count += glass.count;
}

std::unique_ptr<const FittedTransform> TissueOnlyNormaliser::FitSource(const cv::Mat& source,
                                                                       const CallSinks& sinks) const {
  GlassSums glass;
  const cv::Mat tissue = SplitTissue(source, ChannelOrder::kBgr, glass);
  std::unique_ptr<const FittedTransform> mapping;
  if (!tissue.empty()) mapping = method_->Fit(tissue, sinks);
  return std::make_unique<TissueOnlyTransform>(std::move(mapping), GlassShift(targetGlass_, glass), threads_);
}

void TissueOnlyNormaliser::Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                                     const CallSinks& sinks) const {
  FitSource(ToBgr(input, order), sinks)->Apply(input, output, order);
}

std::unique_ptr<CNormBase> TissueOnlyNormaliser::CopyOf() const {
  auto copy = std::make_unique<TissueOnlyNormaliser>(method_->Copy(), threads_);
  copy->targetGlass_ = targetGlass_;
  return copy;
}

bool TissueOnlyNormaliser::TargetReady() const { return method_->HasUsableTarget(); }

void TissueOnlyNormaliser::ExportTarget(detail::TargetRecord& record) const {
  std::stringstream text;
  SaveTarget(*method_, text);
  const nlohmann::json file = nlohmann::json::parse(text);
  record.method = file.at("method").get<std::string>();
  record.target = file.at("target");
  record.target[kTissueOnlyKey] = {{"glassPixels", targetGlass_.count}, {"glassSums", targetGlass_.sum}};
}

void TissueOnlyNormaliser::ImportTarget(const detail::TargetRecord& record) {
  if (!record.target.contains(kTissueOnlyKey)) {
    throw TargetFileError("the target was fitted from every pixel, not from tissue pixels only");
  }
  const nlohmann::json& saved = record.target[kTissueOnlyKey];
  GlassSums glass;
  glass.count = detail::ReadCount(saved.contains("glassPixels") ? saved["glassPixels"] : nlohmann::json(),
                                  "glassPixels");
  const nlohmann::json& sums = detail::ReadArray(saved, "glassSums", 3);
  for (std::size_t c = 0; c < 3; ++c) {
    glass.sum[c] = detail::ReadCount(sums[c], "glassSums");
    if (glass.sum[c] / 255 > glass.count) throw TargetFileError("'glassSums' exceed 255 per glass pixel");
  }
  nlohmann::json methodTarget = record.target;
  methodTarget.erase(kTissueOnlyKey);
  const nlohmann::json file = {
      {"format", "histonorm-target"}, {"version", 1}, {"method", record.method}, {"target", methodTarget}};
  std::stringstream text(file.dump());
  LoadTarget(*method_, text);
  targetGlass_ = glass;
}

}  // namespace histonorm
