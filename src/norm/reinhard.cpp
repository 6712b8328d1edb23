#include "norm/reinhard.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/log_line.h"
#include "common/parallel_for.h"
#include "histonorm/saved_target.h"
#include "norm/colour_index.h"
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

// Output bytes (blue, green, red) of an input colour given as l, alpha, beta.
std::array<std::uint8_t, 3> MapLabColour(Lab lab, const LabStats& source, const LabStats& target) {
  for (int c = 0; c < 3; ++c) {
    lab[c] = MapLabChannelValue(lab[c], source.mean[c], source.sd[c], target.mean[c], target.sd[c]);
  }
  const std::array<float, 3> values = LabToBgrValues(lab);
  return {ColourValueToByte(values[0]), ColourValueToByte(values[1]), ColourValueToByte(values[2])};
}

// A colour's l, alpha, beta, padded to 16 bytes so that one load fetches them.
struct alignas(16) PaddedLab {
  Lab lab;
  float pad;
};

// Colours per chunk of the per-colour transforms (each costs three logarithms or powers).
constexpr std::size_t kMinColoursPerChunk = 4096;

// The distinct colours of an image with their l, alpha, beta values (the transform is costly and
// depends only on the colour, so each distinct colour is transformed once) and room for every
// pixel's position among them, rows in order (filled by IndexAndAdd).
struct ColourLabs {
  ColourLabs(const cv::Mat& image, unsigned threads)
      : colours(image, threads),
        labs(colours.Keys().size()),
        pixels(image.total()),
        pixelColour(new std::uint32_t[pixels]) {
    ParallelFor(
        labs.size(), threads,
        [this](std::size_t begin, std::size_t end) {
          for (std::size_t n = begin; n < end; ++n) {
            const std::uint32_t key = colours.Keys()[n];
            labs[n].lab = BgrToLab(ColourIndex::KeyByte(key, 0), ColourIndex::KeyByte(key, 1),
                                   ColourIndex::KeyByte(key, 2));
          }
        },
        kMinColoursPerChunk);
  }
  ColourIndex colours;
  std::vector<PaddedLab> labs;
  std::size_t pixels;
  std::unique_ptr<std::uint32_t[]> pixelColour;
};

// Pixels ahead of the one being added whose colours are fetched into the cache.
constexpr std::size_t kPrefetchDistance = 16;

// Adds pixels [begin, end) of the image, in order. Each channel's two sums are separate chains of
// additions, kept in locals; the squares are rounded to single precision before they are added.
void AddPixels(LabSums& sums, const ColourLabs& image, std::size_t begin, std::size_t end) {
  std::array<double, 3> sum = sums.sum;
  std::array<double, 3> squares = sums.sumSquares;
  const std::uint32_t* colour = image.pixelColour.get();
  for (std::size_t i = begin; i < end; ++i) {
    // The colour table outgrows the nearest caches: fetch a few pixels ahead.
    if (i + kPrefetchDistance < end) __builtin_prefetch(&image.labs[colour[i + kPrefetchDistance]]);
    const Lab& lab = image.labs[colour[i]].lab;
    for (std::size_t c = 0; c < 3; ++c) {
      sum[c] += static_cast<double>(lab[c]);
      squares[c] += static_cast<double>(lab[c] * lab[c]);
    }
  }
  sums.sum = sum;
  sums.sumSquares = squares;
  sums.count += end - begin;
}

// Pixels per block of IndexAndAdd (whole rows, at least one).
constexpr std::size_t kBlockPixels = std::size_t{1} << 15;

// Fills image.pixelColour and adds every pixel to `sums`, rows in order and pixels in order, so
// the sums are those of a plain pixel loop. The rows are indexed in blocks by every thread, while
// one of them adds the indexed blocks in order as they become ready (indexing blocks itself while
// the next one is not taken yet): the additions, which must stay in order, overlap the indexing.
void IndexAndAdd(const cv::Mat& input, ColourLabs& image, LabSums& sums, unsigned threads) {
  const auto cols = static_cast<std::size_t>(input.cols);
  const std::size_t rowsPerBlock = std::max<std::size_t>(1, kBlockPixels / cols);
  const std::size_t blocks = (static_cast<std::size_t>(input.rows) + rowsPerBlock - 1) / rowsPerBlock;
  std::vector<std::atomic<bool>> ready(blocks);
  std::atomic<std::size_t> next{0};
  auto blockRows = [&](std::size_t block) {
    return std::pair(block * rowsPerBlock,
                     std::min(static_cast<std::size_t>(input.rows), (block + 1) * rowsPerBlock));
  };
  // Indexes the next untaken block; false when every block is taken.
  auto indexNext = [&] {
    const std::size_t block = next.fetch_add(1);
    if (block >= blocks) return false;
    const auto [first, last] = blockRows(block);
    std::uint32_t* index = image.pixelColour.get() + first * cols;
    for (std::size_t y = first; y < last; ++y) {
      const auto* p = input.ptr<std::uint8_t>(static_cast<int>(y));
      for (std::size_t x = 0; x < cols; ++x, p += 3) *index++ = image.colours.IndexOf(ColourIndex::Key(p));
    }
    ready[block].store(true, std::memory_order_release);
    return true;
  };
  auto addInOrder = [&] {
    for (std::size_t block = 0; block < blocks; ++block) {
      while (!ready[block].load(std::memory_order_acquire)) {
        if (!indexNext()) std::this_thread::yield();
      }
      const auto [first, last] = blockRows(block);
      AddPixels(sums, image, first * cols, last * cols);
    }
  };
  const std::size_t roles = std::min<std::size_t>(ResolveThreadCount(threads), blocks);
  ParallelFor(roles, threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t role = begin; role < end; ++role) {
      if (role == 0) {
        addInOrder();
      } else {
        while (indexNext()) {
        }
      }
    }
  });
}

// Indexes `input` into `image` and returns its statistics, logged as Norm logs them.
LabStats MeasureSource(const cv::Mat& input, ColourLabs& image, const LogSink& log, unsigned threads) {
  LabSums sums;
  IndexAndAdd(input, image, sums, threads);
  const LabStats source = sums.Stats();
  LogLine(log, source.sd[0], "vs", source.mean[0] * source.mean[0]);
  LogStats(log, source);
  return source;
}

// Reinhard's mapping between fixed source and target statistics, one distinct colour at a time.
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
      std::copy(m.begin(), m.end(), out);
    }
  }

  LabStats source_;
  LabStats target_;
};

}  // namespace

void LabSums::Add(const cv::Mat& image, unsigned threads) {
  ColourLabs labs(image, threads);
  IndexAndAdd(image, labs, *this, threads);
}

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
  targetSums_.Add(image, threads_);
  target_ = targetSums_.Stats();
  LogStats(log_, target_);
}

void CNormReinhard::Normalise(const cv::Mat& input, cv::Mat& output) {
  ColourLabs image(input, threads_);
  const LabStats source = MeasureSource(input, image, log_, threads_);

  // The output colour depends only on the input colour: map each distinct colour once.
  std::vector<std::array<std::uint8_t, 4>> mapped(image.labs.size());
  ParallelFor(
      mapped.size(), threads_,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t n = begin; n < end; ++n) {
          const auto bgr = MapLabColour(image.labs[n].lab, source, target_);
          mapped[n] = {bgr[0], bgr[1], bgr[2], 0};
        }
      },
      kMinColoursPerChunk);
  const auto cols = static_cast<std::size_t>(input.cols);
  ParallelFor(
      static_cast<std::size_t>(input.rows), threads_,
      [&](std::size_t begin, std::size_t end) {
        const std::uint32_t* colour = image.pixelColour.get() + begin * cols;
        for (auto y = static_cast<int>(begin); y < static_cast<int>(end); ++y) {
          auto* out = output.ptr<std::uint8_t>(y);
          for (int x = 0; x < input.cols; ++x, out += 3) {
            const auto& m = mapped[*colour++];
            out[0] = m[0];
            out[1] = m[1];
            out[2] = m[2];
          }
        }
      },
      MinRowsPerChunk(input.cols));
}

std::unique_ptr<const FittedTransform> CNormReinhard::FitSource(const cv::Mat& source) {
  ColourLabs image(source, threads_);
  return std::make_unique<ReinhardTransform>(MeasureSource(source, image, log_, threads_), target_);
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
