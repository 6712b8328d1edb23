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
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/channel_order.h"
#include "common/image_colours.h"
#include "common/log_line.h"
#include "common/packed_lookup.h"
#include "common/parallel_for.h"
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

// The distinct colours of an image stored in `order` with their l, alpha, beta values: the
// transform is costly and depends only on the colour, so each distinct colour is transformed once.
struct ColourLabs {
  ColourLabs(const cv::Mat& image, unsigned threads, ChannelOrder order)
      : colours(image, 0, threads), labs(colours.Keys().size()) {
    const int blue = static_cast<int>(StoredIndex(0, order));
    const int red = static_cast<int>(StoredIndex(2, order));
    ParallelFor(
        labs.size(), threads,
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t n = begin; n < end; ++n) {
            const std::uint32_t key = colours.Keys()[n];
            labs[n].lab = BgrToLab(ImageColours::KeyByte(key, blue), ImageColours::KeyByte(key, 1),
                                   ImageColours::KeyByte(key, red));
          }
        },
        kMinColoursPerChunk);
  }
  ImageColours colours;  // the colours only: pixels are indexed by IndexAndAdd
  std::vector<PaddedLab> labs;
};

// Pixels ahead of the one being added whose colours are fetched into the cache.
constexpr int kPrefetchDistance = 32;

#if defined(__SSE2__)
// Running sums of l, alpha, beta (and a padding lane that stays 0) and of their squares.
struct LabAccumulator {
  explicit LabAccumulator(const LabSums& s)
      : sumLa(_mm_set_pd(s.sum[1], s.sum[0])),
        sumB(_mm_set_pd(0.0, s.sum[2])),
        squaresLa(_mm_set_pd(s.sumSquares[1], s.sumSquares[0])),
        squaresB(_mm_set_pd(0.0, s.sumSquares[2])) {}
  // The same operations as the plain loop, lane by lane: a single-precision square, an exact
  // widening, one double addition per sum.
  void Add(const PaddedLab& lab) {
    const __m128 v = _mm_load_ps(lab.lab.data());
    const __m128 squares = _mm_mul_ps(v, v);
    sumLa = _mm_add_pd(sumLa, _mm_cvtps_pd(v));
    sumB = _mm_add_pd(sumB, _mm_cvtps_pd(_mm_movehl_ps(v, v)));
    squaresLa = _mm_add_pd(squaresLa, _mm_cvtps_pd(squares));
    squaresB = _mm_add_pd(squaresB, _mm_cvtps_pd(_mm_movehl_ps(squares, squares)));
  }
  void Store(LabSums& s) const {
    _mm_storel_pd(&s.sum[0], sumLa);
    _mm_storeh_pd(&s.sum[1], sumLa);
    _mm_storel_pd(&s.sum[2], sumB);
    _mm_storel_pd(&s.sumSquares[0], squaresLa);
    _mm_storeh_pd(&s.sumSquares[1], squaresLa);
    _mm_storel_pd(&s.sumSquares[2], squaresB);
  }
  __m128d sumLa, sumB, squaresLa, squaresB;
};
#else
struct LabAccumulator {
  explicit LabAccumulator(const LabSums& s) : sum(s.sum), squares(s.sumSquares) {}
  void Add(const PaddedLab& lab) {
    for (std::size_t c = 0; c < 3; ++c) {
      sum[c] += static_cast<double>(lab.lab[c]);
      squares[c] += static_cast<double>(lab.lab[c] * lab.lab[c]);
    }
  }
  void Store(LabSums& s) const {
    s.sum = sum;
    s.sumSquares = squares;
  }
  std::array<double, 3> sum;
  std::array<double, 3> squares;
};
#endif

// Adds the n pixels of one row of the index image. Each channel's two sums are separate chains of
// additions; the squares are rounded to single precision before they are added.
void AddRow(LabAccumulator& accumulator, const PaddedLab* table, const std::uint8_t* p, int n) {
  for (int x = 0; x < n; ++x, p += 3) {
    // The colour table outgrows the nearest caches: fetch a few pixels ahead.
    if (x + kPrefetchDistance < n)
      __builtin_prefetch(&table[ReadPackedIndex(p + std::ptrdiff_t{3} * kPrefetchDistance)]);
    accumulator.Add(table[ReadPackedIndex(p)]);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// AddRow with 256-bit registers: l, alpha, beta (and a 0 lane) widened and added in one
// instruction, their single-precision squares in another; each lane does exactly the plain
// operations. `state` holds the three sums and a 0, then the three sums of squares and a 0.
__attribute__((target("avx"), noinline)) void AddRowWide(const PaddedLab* table, const std::uint8_t* p, int n,
                                                         double* state) {
  __m256d sum = _mm256_loadu_pd(state);
  __m256d squares = _mm256_loadu_pd(state + 4);
  for (int x = 0; x < n; ++x, p += 3) {
    // All but the row's last index are read with one four-byte load.
    std::uint32_t index = ReadPackedIndex(p);
    if (x + 1 < n) {
      std::memcpy(&index, p, sizeof index);
      index &= 0xFFFFFFU;
    }
    const __m128 v = _mm_load_ps(table[index].lab.data());
    sum = _mm256_add_pd(sum, _mm256_cvtps_pd(v));
    squares = _mm256_add_pd(squares, _mm256_cvtps_pd(_mm_mul_ps(v, v)));
  }
  _mm256_storeu_pd(state, sum);
  _mm256_storeu_pd(state + 4, squares);
}
#endif

// Adds rows [first, last) of the index image, rows in order and pixels in order.
void AddRows(LabSums& sums, const std::vector<PaddedLab>& labs, const cv::Mat& index, std::size_t first,
             std::size_t last) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool wide = __builtin_cpu_supports("avx");
  if (wide) {
    std::array<double, 8> state = {sums.sum[0],        sums.sum[1],        sums.sum[2],        0.0,
                                   sums.sumSquares[0], sums.sumSquares[1], sums.sumSquares[2], 0.0};
    for (std::size_t y = first; y < last; ++y)
      AddRowWide(labs.data(), index.ptr<std::uint8_t>(static_cast<int>(y)), index.cols, state.data());
    for (std::size_t c = 0; c < 3; ++c) {
      sums.sum[c] = state[c];
      sums.sumSquares[c] = state[4 + c];
    }
    sums.count += (last - first) * static_cast<std::size_t>(index.cols);
    return;
  }
#endif
  LabAccumulator accumulator(sums);
  for (std::size_t y = first; y < last; ++y)
    AddRow(accumulator, labs.data(), index.ptr<std::uint8_t>(static_cast<int>(y)), index.cols);
  accumulator.Store(sums);
  sums.count += (last - first) * static_cast<std::size_t>(index.cols);
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

// Indexes `input` into `image` and returns its statistics, logged as Norm logs them.
LabStats MeasureSource(const cv::Mat& input, const ColourLabs& image, cv::Mat& index, const LogSink& log,
                       unsigned threads) {
  LabSums sums;
  IndexAndAdd(input, image, index, sums, threads);
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

void LabSums::Add(const cv::Mat& image, unsigned threads, ChannelOrder order) {
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
  const ColourLabs image(input, threads_, order);
  cv::Mat index = IndexImage(input, output);
  const LabStats source = MeasureSource(input, image, index, sinks.log, threads_);

  // The output colour depends only on the input colour: map each distinct colour once.
  // (Each entry holds the output bytes in their stored order, the first byte lowest.)
  std::vector<std::uint32_t> mapped(image.labs.size());
  const std::size_t blue = StoredIndex(0, order);
  const std::size_t red = StoredIndex(2, order);
  ParallelFor(
      mapped.size(), threads_,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t n = begin; n < end; ++n) {
          const auto bgr = MapLabColour(image.labs[n].lab, source, target_);
          mapped[n] = static_cast<std::uint32_t>(bgr[0]) << (8U * blue) |
                      static_cast<std::uint32_t>(bgr[1]) << 8U |
                      static_cast<std::uint32_t>(bgr[2]) << (8U * red);
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

std::unique_ptr<const FittedTransform> CNormReinhard::FitSource(const cv::Mat& source,
                                                                const CallSinks& sinks) const {
  const ColourLabs image(source, threads_, ChannelOrder::kBgr);
  cv::Mat index(source.size(), CV_8UC3);
  return std::make_unique<ReinhardTransform>(MeasureSource(source, image, index, sinks.log, threads_),
                                             target_);
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
