#include "norm/rgb_hist_spec.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "base/target_record.h"
#include "common/channel_order.h"
#include "common/parallel_for.h"
#include "histonorm/saved_target.h"

namespace histonorm {

namespace {

// Counts rows [begin, end) into `counts`. Neighbouring pixels often share levels, so alternate
// pixels go to two sets of counters that are added at the end: repeated levels then do not wait
// on each other's increments.
void CountRows(const cv::Mat& image, std::size_t begin, std::size_t end, LevelCounts& counts) {
  std::array<std::array<std::array<std::uint32_t, 256>, 3>, 2> part{};
  for (auto y = static_cast<int>(begin); y < static_cast<int>(end); ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    int x = 0;
    for (; x + 1 < image.cols; x += 2, px += 6) {
      ++part[0][0][px[0]];
      ++part[0][1][px[1]];
      ++part[0][2][px[2]];
      ++part[1][0][px[3]];
      ++part[1][1][px[4]];
      ++part[1][2][px[5]];
    }
    if (x < image.cols) {
      ++part[0][0][px[0]];
      ++part[0][1][px[1]];
      ++part[0][2][px[2]];
    }
  }
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t v = 0; v < 256; ++v) counts[c][v] += std::uint64_t{part[0][c][v]} + part[1][c][v];
  }
}

// Rows per call of CountRows: few enough that no 32-bit counter can overflow.
std::size_t MaxRowsPerCount(int cols) {
  constexpr std::size_t kMaxPixels = std::size_t{1} << 31;
  return std::max<std::size_t>(1, kMaxPixels / static_cast<std::size_t>(std::max(1, cols)));
}

// Level counts in the order the pixels store their channels, summed over ranges of rows.
struct StoredCounts {
  LevelCounts counts{};
  StoredCounts& operator+=(const StoredCounts& other) {
    for (std::size_t c = 0; c < 3; ++c) {
      for (std::size_t v = 0; v < 256; ++v) counts[c][v] += other.counts[c][v];
    }
    return *this;
  }
};

}  // namespace

void CountLevels(const cv::Mat& image, LevelCounts& counts, unsigned threads, ChannelOrder order) {
  const std::size_t maxRows = MaxRowsPerCount(image.cols);
  const StoredCounts stored = ParallelAccumulate<StoredCounts>(
      static_cast<std::size_t>(image.rows), threads,
      [&](std::size_t begin, std::size_t end, StoredCounts& own) {
        for (std::size_t from = begin; from < end; from += std::min(maxRows, end - from)) {
          CountRows(image, from, from + std::min(maxRows, end - from), own.counts);
        }
      },
      MinRowsPerChunk(image.cols));
  for (std::size_t c = 0; c < 3; ++c) {
    for (std::size_t v = 0; v < 256; ++v) counts[c][v] += stored.counts[StoredIndex(c, order)][v];
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

void CNormRGBHistSpec::MeasureTarget(const cv::Mat& image, ChannelOrder order) {
  CountLevels(image, targetCounts_, threads_, order);
  targetPixelCount_ += image.total();
  targetCumulative_ = CumulativeFromCounts(targetCounts_, targetPixelCount_, variant_);
}

LookupTables CNormRGBHistSpec::SourceTables(const cv::Mat& input, ChannelOrder order) const {
  LevelCounts counts{};
  CountLevels(input, counts, threads_, order);
  const CumulativeTables source = CumulativeFromCounts(counts, input.total(), variant_);
  LookupTables lut = MatchCumulative(source, targetCumulative_);
  PinSingleLevelChannels(counts, targetCounts_, lut);
  return lut;
}

void ApplyLookupTables(const LookupTables& lut, const cv::Mat& input, cv::Mat& output, unsigned threads) {
  ParallelFor(
      static_cast<std::size_t>(input.rows), threads,
      [&](std::size_t begin, std::size_t end) {
        for (auto y = static_cast<int>(begin); y < static_cast<int>(end); ++y) {
          const std::uint8_t* in = input.ptr<std::uint8_t>(y);
          std::uint8_t* out = output.ptr<std::uint8_t>(y);
          for (int x = 0; x < input.cols; ++x, in += 3, out += 3) {
            out[0] = lut[0][in[0]];
            out[1] = lut[1][in[1]];
            out[2] = lut[2][in[2]];
          }
        }
      },
      MinRowsPerChunk(input.cols));
}

void CNormRGBHistSpec::Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                                 const CallSinks& /*sinks*/) const {
  ApplyLookupTables(InOrder(SourceTables(input, order), order), input, output, threads_);
}

namespace {

// Fixed per-channel lookup tables; for red, green, blue pixels the same tables in reverse order.
class LookupTransform final : public FittedTransform {
 public:
  explicit LookupTransform(const LookupTables& lut)
      : lut_(lut), reversed_(InOrder(lut, ChannelOrder::kRgb)) {}

 private:
  void Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const override {
    ApplyLookupTables(order == ChannelOrder::kBgr ? lut_ : reversed_, input, output, 1);
  }

  LookupTables lut_;
  LookupTables reversed_;
};

}  // namespace

std::unique_ptr<const FittedTransform> CNormRGBHistSpec::FitSource(const cv::Mat& source,
                                                                   const CallSinks& /*sinks*/) const {
  return std::make_unique<LookupTransform>(SourceTables(source, ChannelOrder::kBgr));
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
