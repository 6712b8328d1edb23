#include "stain/norm_od_stain.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "base/colour_map_transform.h"
#include "base/target_record.h"
#include "common/log_line.h"
#include "common/parallel_for.h"
#include "histonorm/saved_target.h"
#include "stain/colour_table.h"

namespace histonorm {

namespace {

// Colours mapped per piece of work: enough to outweigh handing the piece to a thread.
constexpr std::size_t kMinColoursPerChunk = 4096;

// A measured image's mapping as a function of the colour, for slides and the workflow.
class OdStainTransform final : public ColourMapTransform {
 public:
  explicit OdStainTransform(const OdStainMapping& mapping) : mapping_(mapping) {}

 private:
  void MapColours(const cv::Mat& colours, cv::Mat& mapped) const override {
    mapping_.Map(colours, mapped, 1);
  }
  OdStainMapping mapping_;
};

std::string PairText(const std::array<float, 2>& v) {
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(4);
  text << v[0] << ", " << v[1];
  return text.str();
}

}  // namespace

void OdStainMapping::Map(const cv::Mat& colours, cv::Mat& mapped, unsigned threads) const {
  mapped.create(colours.size(), CV_8UC3);
  const ConcentrationSolver solver(source, sparsity);
  const std::array<float, 256>& odTable = OdTable();
  OdStainParams glass;
  glass.glassOd = glassOd;
  glass.tissueOd = tissueOd;
  const std::uint8_t* in = colours.ptr<std::uint8_t>(0);
  std::uint8_t* out = mapped.ptr<std::uint8_t>(0);
  ParallelFor(
      colours.total(), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const std::uint8_t* px = in + 3 * i;
          const OdVector od = {odTable[px[2]], odTable[px[1]], odTable[px[0]]};
          const float w = TissueWeight(Norm(od), glass);
          std::uint8_t* o = out + 3 * i;
          if (w <= 0.0f) {
            std::copy(px, px + 3, o);
            continue;
          }
          const std::array<float, 2> c = solver.Solve(od);
          for (int ch = 0; ch < 3; ++ch) {
            const float rebuilt = gain[0] * c[0] * target.stain[0][ch] + gain[1] * c[1] * target.stain[1][ch];
            o[2 - ch] = ByteOfOd(w * rebuilt + (1.0f - w) * od[ch]);
          }
        }
      },
      kMinColoursPerChunk);
}

CNormOdStain::CNormOdStain(DirectionEstimator estimator, const Options& options, const OdStainParams& params)
    : CNormBase({options.log, {}}), estimator_(estimator), params_(params), threads_(options.threads) {}

const char* CNormOdStain::Name() const {
  return estimator_ == DirectionEstimator::kPrincipalPlane ? "Macenko" : "Vahadane";
}

float CNormOdStain::Sparsity() const {
  return estimator_ == DirectionEstimator::kPrincipalPlane ? 0.0f : params_.concentrationSparsity;
}

void CNormOdStain::UpdateTarget() {
  for (int k = 0; k < 2; ++k) {
    OdVector v{};
    double n = 0.0;
    for (int c = 0; c < 3; ++c) n += stainSum_[k][c] * stainSum_[k][c];
    n = std::sqrt(n);
    for (int c = 0; c < 3; ++c) v[c] = static_cast<float>(stainSum_[k][c] / n);
    targetBasis_.stain[k] = v;
    targetPercentiles_[k] = static_cast<float>(percentileSum_[k] / static_cast<double>(images_));
  }
}

void CNormOdStain::MeasureTarget(const cv::Mat& image, ChannelOrder order) {
  const LogSink& log = OwnSinks().log;
  const ImageColours colours(ToBgr(image, order), SIZE_MAX, threads_);
  const TissueColours tissue = CollectTissue(colours, params_);
  const GuardedBasis basis =
      GuardedDirections(tissue, estimator_, {StandardHaemEosin(), "the standard H&E", false}, params_, log);
  const std::array<float, 2> percentiles = ConcentrationPercentiles(
      tissue, ConcentrationSolver(basis.basis, Sparsity()), params_.concentrationPercentile);
  LogLine(log, "Target stain vectors: ", VectorText(basis.basis.stain[0]), " ",
          VectorText(basis.basis.stain[1]));
  LogLine(log, "Target concentration percentiles: ", PairText(percentiles));
  for (int k = 0; k < 2; ++k) {
    for (int c = 0; c < 3; ++c) stainSum_[k][c] += basis.basis.stain[k][c];
    percentileSum_[k] += percentiles[k];
  }
  ++images_;
  UpdateTarget();
}

OdStainMapping CNormOdStain::MeasureSource(const ImageColours& colours, const LogSink& log) const {
  const TissueColours tissue = CollectTissue(colours, params_);
  const GuardedBasis basis =
      GuardedDirections(tissue, estimator_, {targetBasis_, "the target's", true}, params_, log);
  const std::array<float, 2> percentiles = ConcentrationPercentiles(
      tissue, ConcentrationSolver(basis.basis, Sparsity()), params_.concentrationPercentile);
  OdStainMapping mapping{basis.basis, targetBasis_,    {1.0f, 1.0f},
                         Sparsity(),  params_.glassOd, params_.tissueOd};
  for (int k = 0; k < 2; ++k) {
    // A stain the image lacks keeps its (small) amounts; after a fall-back nothing is amplified.
    if (percentiles[k] >= params_.presentFraction * targetPercentiles_[k] && percentiles[k] > 0.0f) {
      mapping.gain[k] = targetPercentiles_[k] / percentiles[k];
    }
    if (basis.fellBack) mapping.gain[k] = std::min(mapping.gain[k], 1.0f);
  }
  LogLine(log, "Image stain vectors: ", VectorText(basis.basis.stain[0]), " ",
          VectorText(basis.basis.stain[1]));
  LogLine(log, "Image concentration percentiles: ", PairText(percentiles), ", scaled by ",
          PairText(mapping.gain));
  return mapping;
}

void CNormOdStain::Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                             const CallSinks& sinks) const {
  const cv::Mat bgr = ToBgr(input, order);
  const ColourTable table(bgr, threads_);
  const OdStainMapping mapping = MeasureSource(table.Index(), sinks.log);
  cv::Mat mapped;
  mapping.Map(table.Colours(), mapped, threads_);
  if (order == ChannelOrder::kBgr) {
    table.Scatter(mapped, output, threads_);
    return;
  }
  cv::Mat result(input.size(), CV_8UC3);
  table.Scatter(mapped, result, threads_);
  FromBgr(result, output, order);
}

std::unique_ptr<const FittedTransform> CNormOdStain::FitSource(const cv::Mat& source,
                                                               const CallSinks& sinks) const {
  const ImageColours colours(source, SIZE_MAX, threads_);
  return std::make_unique<OdStainTransform>(MeasureSource(colours, sinks.log));
}

void CNormOdStain::ExportTarget(detail::TargetRecord& record) const {
  record.method = Name();
  nlohmann::json stains = nlohmann::json::array();
  for (const auto& s : stainSum_)
    stains.push_back({detail::HexDouble(s[0]), detail::HexDouble(s[1]), detail::HexDouble(s[2])});
  record.target = {
      {"images", images_},
      {"stainSum", stains},
      {"percentileSum", {detail::HexDouble(percentileSum_[0]), detail::HexDouble(percentileSum_[1])}}};
}

void CNormOdStain::ImportTarget(const detail::TargetRecord& record) {
  detail::RequireMethod(record, Name());
  const nlohmann::json& t = record.target;
  const std::uint64_t images =
      detail::ReadCount(t.contains("images") ? t["images"] : nlohmann::json(), "images");
  if (images == 0) throw TargetFileError("'images' is 0: the target has no images");
  const nlohmann::json& stains = detail::ReadArray(t, "stainSum", 2);
  const nlohmann::json& percentiles = detail::ReadArray(t, "percentileSum", 2);
  std::array<std::array<double, 3>, 2> stainSum{};
  std::array<double, 2> percentileSum{};
  for (std::size_t k = 0; k < 2; ++k) {
    if (!stains[k].is_array() || stains[k].size() != 3) throw TargetFileError("'stainSum' is not 2 x 3");
    double norm = 0.0;
    for (std::size_t c = 0; c < 3; ++c) {
      stainSum[k][c] = detail::ReadFiniteDouble({{"stainSum", stains[k][c]}}, "stainSum");
      norm += stainSum[k][c] * stainSum[k][c];
    }
    if (!(norm > 0.0)) throw TargetFileError("'stainSum' has a stain of no direction");
    percentileSum[k] = detail::ReadFiniteDouble({{"percentileSum", percentiles[k]}}, "percentileSum");
    if (!(percentileSum[k] > 0.0)) throw TargetFileError("'percentileSum' is not positive");
  }
  images_ = images;
  stainSum_ = stainSum;
  percentileSum_ = percentileSum;
  UpdateTarget();
}

}  // namespace histonorm
