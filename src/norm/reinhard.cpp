#include "norm/reinhard.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "base/colour_map_transform.h"
#include "base/target_record.h"
#include "common/channel_order.h"
#include "common/colour_key.h"
#include "common/image_colours.h"
#include "common/log_line.h"
#include "common/packed_lookup.h"
#include "common/parallel_for.h"
#include "histonorm/saved_target.h"
#include "norm/lab_colour.h"
#include "norm/lab_rows.h"

namespace histonorm {

namespace {

// Relative rounding of a single-precision square, with a factor of two to spare.
constexpr double kSquareRounding = 2.0 * std::numeric_limits<float>::epsilon();

void LogStats(const LogSink& log, const LabStats& s) {
  LogLine(log, s.mean[0], ",", s.mean[1], ",", s.mean[2], " ", s.sd[0], ",", s.sd[1], ",", s.sd[2]);
}

// Images of at least this many pixels are converted one distinct colour at a time: below it, colours
// repeat too rarely (a 256 x 256 tile has about 0.6 distinct colours per pixel, a 2048 x 2048 image
// 0.06) to pay for the colour index. Either way each pixel gets the same values.
constexpr std::size_t kPerColourPixels = std::size_t{1} << 20;
// Colours or pixels per chunk of the conversions.
constexpr std::size_t kMinColoursPerChunk = 4096;
constexpr std::size_t kMinPixelsPerChunk = std::size_t{1} << 16;

bool PerColour(const cv::Mat& image) { return image.total() >= kPerColourPixels; }

// Per-thread room for l, alpha, beta values, kept from call to call.
std::vector<LabPixel>& LabScratch(std::size_t n) {
  thread_local std::vector<LabPixel> labs;
  if (labs.size() < n) labs.resize(n);
  return labs;
}

// Adds n values in order: each channel's two sums are separate chains of additions; the squares are
// rounded to single precision before they are added.
void AddLabs(LabSums& sums, const LabPixel* labs, std::size_t n) {
  std::array<double, 3> sum = sums.sum;
  std::array<double, 3> squares = sums.sumSquares;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 3; ++c) {
      const float v = labs[i].lab[c];
      sum[c] += static_cast<double>(v);
      squares[c] += static_cast<double>(v * v);
    }
  }
  sums.sum = sum;
  sums.sumSquares = squares;
  sums.count += n;
}

// Every pixel's l, alpha, beta, row after row, in the calling thread's scratch; up to `threads` threads.
const LabPixel* PixelLabs(const cv::Mat& image, unsigned threads, ChannelOrder order) {
  const auto cols = static_cast<std::size_t>(image.cols);
  LabPixel* labs = LabScratch(image.total()).data();
  ParallelFor(
      static_cast<std::size_t>(image.rows), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
          BytesToLabs(image.ptr<std::uint8_t>(static_cast<int>(y)), cols, StoredIndex(0, order),
                      labs + y * cols);
        }
      },
      std::max<std::size_t>(1, kMinPixelsPerChunk / std::max<std::size_t>(1, cols)));
  return labs;
}

// Converts keys[0..n) (colours stored in `order`) to l, alpha, beta.
void KeyLabs(const std::uint32_t* keys, std::size_t n, ChannelOrder order, LabPixel* labs) {
  std::array<std::uint8_t, 3 * kMinColoursPerChunk> bytes{};
  for (std::size_t start = 0; start < n; start += kMinColoursPerChunk) {
    const std::size_t m = std::min(kMinColoursPerChunk, n - start);
    for (std::size_t i = 0; i < m; ++i) WriteKey(bytes.data() + 3 * i, keys[start + i]);
    BytesToLabs(bytes.data(), m, StoredIndex(0, order), labs + start);
  }
}

// The distinct colours of an image stored in `order` with their l, alpha, beta values: the
// transform is costly and depends only on the colour, so each distinct colour is transformed once.
struct ColourLabs {
  ColourLabs(const cv::Mat& image, unsigned threads, ChannelOrder order)
      : colours(image, 0, threads), labs(colours.Keys().size()) {
    ParallelFor(
        labs.size(), threads,
        [&](std::size_t begin, std::size_t end) {
          KeyLabs(colours.Keys().data() + begin, end - begin, order, labs.data() + begin);
        },
        kMinColoursPerChunk);
  }
  ImageColours colours;  // the colours only: pixels are indexed by IndexAndAdd
  std::vector<LabPixel> labs;
};

// Adds rows [first, last) of the index image, rows in order and pixels in order.
void AddRows(LabSums& sums, const std::vector<LabPixel>& labs, const cv::Mat& index, std::size_t first,
             std::size_t last) {
  const auto cols = static_cast<std::size_t>(index.cols);
  std::array<LabPixel, 1024> row{};
  for (std::size_t y = first; y < last; ++y) {
    const std::uint8_t* p = index.ptr<std::uint8_t>(static_cast<int>(y));
    for (std::size_t x = 0; x < cols; x += row.size()) {
      const std::size_t m = std::min(row.size(), cols - x);
      for (std::size_t i = 0; i < m; ++i) row[i] = labs[ReadKey(p + 3 * (x + i))];
      AddLabs(sums, row.data(), m);
    }
  }
}

// Pixels per block of IndexAndAdd (whole rows, at least one).
constexpr std::size_t kBlockPixels = std::size_t{1} << 15;

// Writes every pixel's colour index into `index` (of the input's size; it may be the input itself)
// and adds every pixel to `sums`, rows in order and pixels in order, so the sums are those of a
// plain pixel loop. The rows go in blocks, dealt to the threads in turn: each thread indexes its
// next block while the others add theirs, then waits for the sums of all earlier blocks, adds its
// block (whose indices are still in its own cache) and hands the sums on. The additions stay in
// order; the indexing overlaps them.
void IndexAndAdd(const cv::Mat& input, const ColourLabs& image, cv::Mat& index, LabSums& sums,
                 unsigned threads) {
  const auto rows = static_cast<std::size_t>(input.rows);
  const std::size_t rowsPerBlock =
      std::max<std::size_t>(1, kBlockPixels / static_cast<std::size_t>(input.cols));
  const std::size_t blocks = (rows + rowsPerBlock - 1) / rowsPerBlock;
  const std::size_t roles = std::min<std::size_t>(ResolveThreadCount(threads), blocks);
  std::atomic<std::size_t> turn{0};  // the block whose pixels are to be added next
  // One thread per role (a thread with two roles would wait for itself).
  ParallelFor(roles, static_cast<unsigned>(roles), [&](std::size_t role, std::size_t) {
    for (std::size_t block = role; block < blocks; block += roles) {
      const std::size_t first = block * rowsPerBlock;
      const std::size_t last = std::min(rows, first + rowsPerBlock);
      for (std::size_t y = first; y < last; ++y) {
        const auto* p = input.ptr<std::uint8_t>(static_cast<int>(y));
        image.colours.PackedIndices(p, static_cast<std::size_t>(input.cols),
                                    index.ptr<std::uint8_t>(static_cast<int>(y)));
      }
      while (turn.load(std::memory_order_acquire) != block) std::this_thread::yield();
      AddRows(sums, image.labs, index, first, last);
      turn.store(block + 1, std::memory_order_release);
    }
  });
}

// Whether two images share any byte of memory.
bool Overlap(const cv::Mat& a, const cv::Mat& b) {
  return a.datastart < b.dataend && b.datastart < a.dataend;
}

// Each pixel's colour index (its position among the distinct colours) is stored in the pixel's three
// bytes (there are fewer than 2^24 colours): an index image costs no memory beyond the output image
// it is written into. IndexImage gives the image to hold the colour indices of `input`'s pixels: `output`
// when writing there cannot spoil pixels of the input not yet read (it is separate, or the input itself),
// else a new image.
cv::Mat IndexImage(const cv::Mat& input, const cv::Mat& output) {
  const bool same = input.data == output.data && input.step == output.step;
  if (same || !Overlap(input, output)) return output;
  return cv::Mat(input.size(), CV_8UC3);
}

// Logs a source's statistics as Norm logs them and returns them.
LabStats LogSource(const LabSums& sums, const LogSink& log) {
  const LabStats source = sums.Stats();
  LogLine(log, source.sd[0], "vs", source.mean[0] * source.mean[0]);
  LogStats(log, source);
  return source;
}

// The statistics of an image, logged as Norm logs them.
LabStats MeasureSource(const cv::Mat& input, const LogSink& log, unsigned threads) {
  LabSums sums;
  sums.Add(input, threads, ChannelOrder::kBgr);
  return LogSource(sums, log);
}

// Reinhard's mapping between fixed source and target statistics, one distinct colour at a time.
class ReinhardTransform final : public ColourMapTransform {
 public:
  ReinhardTransform(const LabStats& source, const LabStats& target) : source_(source), target_(target) {}

 private:
  void MapColours(const cv::Mat& colours, cv::Mat& mapped) const override {
    mapped.create(colours.size(), CV_8UC3);
    const std::size_t n = colours.total();
    std::vector<LabPixel> labs(n);
    BytesToLabs(colours.ptr<std::uint8_t>(0), n, 0, labs.data());
    LabsToBytes(labs.data(), n, source_, target_, 0, mapped.ptr<std::uint8_t>(0));
  }

  LabStats source_;
  LabStats target_;
};

}  // namespace

void LabSums::Add(const cv::Mat& image, unsigned threads, ChannelOrder order) {
  if (!PerColour(image)) {
    AddLabs(*this, PixelLabs(image, threads, order), image.total());
    return;
  }
  const ColourLabs labs(image, threads, order);
  cv::Mat index(image.size(), CV_8UC3);
  IndexAndAdd(image, labs, index, *this, threads);
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

void CNormReinhard::MeasureTarget(const cv::Mat& image, ChannelOrder order) {
  targetSums_.Add(image, threads_, order);
  target_ = targetSums_.Stats();
  LogStats(OwnSinks().log, target_);
}

void CNormReinhard::Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                              const CallSinks& sinks) const {
  if (!PerColour(input)) {
    NormalisePixels(input, output, order, sinks);
    return;
  }
  const ColourLabs image(input, threads_, order);
  cv::Mat index = IndexImage(input, output);
  LabSums sums;
  IndexAndAdd(input, image, index, sums, threads_);
  const LabStats source = LogSource(sums, sinks.log);

  // The output colour depends only on the input colour: map each distinct colour once.
  // (Each entry holds the output bytes in their stored order, the first byte lowest.)
  std::vector<std::uint32_t> mapped(image.labs.size());
  ParallelFor(
      mapped.size(), threads_,
      [&](std::size_t begin, std::size_t end) {
        std::array<std::uint8_t, 3 * kMinColoursPerChunk> bytes{};
        for (std::size_t start = begin; start < end; start += kMinColoursPerChunk) {
          const std::size_t m = std::min(kMinColoursPerChunk, end - start);
          LabsToBytes(image.labs.data() + start, m, source, target_, StoredIndex(0, order), bytes.data());
          for (std::size_t i = 0; i < m; ++i) mapped[start + i] = ReadKey(bytes.data() + 3 * i);
        }
      },
      kMinColoursPerChunk);
  ParallelFor(
      static_cast<std::size_t>(input.rows), threads_,
      [&](std::size_t begin, std::size_t end) {
        for (auto y = static_cast<int>(begin); y < static_cast<int>(end); ++y) {
          LookUpPacked(index.ptr<std::uint8_t>(y), static_cast<std::size_t>(input.cols), mapped.data(),
                       output.ptr<std::uint8_t>(y));
        }
      },
      MinRowsPerChunk(input.cols));
}

void CNormReinhard::NormalisePixels(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                                    const CallSinks& sinks) const {
  // Every pixel's values are formed before any output byte is written: the output may be the input.
  const LabPixel* labs = PixelLabs(input, threads_, order);
  LabSums sums;
  AddLabs(sums, labs, input.total());
  const LabStats source = LogSource(sums, sinks.log);
  const auto cols = static_cast<std::size_t>(input.cols);
  ParallelFor(
      static_cast<std::size_t>(input.rows), threads_,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
          LabsToBytes(labs + y * cols, cols, source, target_, StoredIndex(0, order),
                      output.ptr<std::uint8_t>(static_cast<int>(y)));
        }
      },
      std::max<std::size_t>(1, kMinPixelsPerChunk / std::max<std::size_t>(1, cols)));
}

std::unique_ptr<const FittedTransform> CNormReinhard::FitSource(const cv::Mat& source,
                                                                const CallSinks& sinks) const {
  return std::make_unique<ReinhardTransform>(MeasureSource(source, sinks.log, threads_), target_);
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
