#include "train/descriptor_model.h"

#include <dlib/matrix.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

#include "classifier/image_descriptor.h"

namespace histonorm::train {

namespace {

// A component is kept only when its variance exceeds this share of the largest one.
constexpr double kRelativeVarianceFloor = 1e-4;

std::array<std::uint32_t, 256> CountCodes(const cv::Mat& codes) {
  std::array<std::uint32_t, 256> counts{};
  for (int y = 0; y < codes.rows; ++y) {
    const std::int32_t* row = codes.ptr<std::int32_t>(y);
    for (int x = 0; x < codes.cols; ++x) {
      if (row[x] > 0 && row[x] <= 255) ++counts[static_cast<std::size_t>(row[x])];
    }
  }
  return counts;
}

// Tiles along one axis: about `length / side` of them, at least one.
int TileCount(int length, int side) {
  return std::max(1, static_cast<int>(std::lround(double(length) / side)));
}

// Makes the largest-magnitude entry of every direction positive, so the result does not depend
// on the sign the decomposition happened to choose.
void FixSign(std::vector<double>& direction) {
  const auto largest = std::max_element(direction.begin(), direction.end(),
                                        [](double a, double b) { return std::fabs(a) < std::fabs(b); });
  if (*largest < 0) {
    for (double& v : direction) v = -v;
  }
}

}  // namespace

cv::Mat CodeImage(const cv::Mat& image, const OctTree& tree) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("code image: image is not 8-bit 3-channel");
  cv::Mat codes(image.rows, image.cols, CV_32SC1);
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* in = image.ptr<std::uint8_t>(y);
    std::int32_t* out = codes.ptr<std::int32_t>(y);
    for (int x = 0; x < image.cols; ++x) out[x] = tree.FindCode(ReadKey(in + 3 * x));
  }
  return codes;
}

CodeHistogram NormalisedHistogram(const cv::Mat& codes) {
  const std::array<std::uint32_t, 256> counts = CountCodes(codes);
  float total = 0.0f;
  for (const std::uint32_t c : counts) total += static_cast<float>(c);
  CodeHistogram h{};
  if (total > 0.0f) {
    for (std::size_t k = 0; k < 256; ++k) h[k] = static_cast<float>(counts[k]) / total;
  }
  return h;
}

TileGrid::TileGrid(cv::Size imageSize, int tileSide) : size_(imageSize) {
  if (tileSide > 0) {
    nx_ = std::min(TileCount(imageSize.width, tileSide), std::max(1, imageSize.width));
    ny_ = std::min(TileCount(imageSize.height, tileSide), std::max(1, imageSize.height));
  }
}

cv::Rect TileGrid::Tile(int index) const {
  const int tx = index % nx_;
  const int ty = index / nx_;
  const int x0 = tx * size_.width / nx_;
  const int y0 = ty * size_.height / ny_;
  return {x0, y0, (tx + 1) * size_.width / nx_ - x0, (ty + 1) * size_.height / ny_ - y0};
}

int TileGrid::TileAt(int x, int y) const {
  // Tile t spans [t * W / n, (t + 1) * W / n): start from the proportional guess and step to it.
  const auto locate = [](int v, int length, int n) {
    int t = std::min(n - 1, static_cast<int>(static_cast<long long>(v) * n / std::max(1, length)));
    while (t > 0 && t * length / n > v) --t;
    while (t + 1 < n && (t + 1) * length / n <= v) ++t;
    return t;
  };
  return locate(y, size_.height, ny_) * nx_ + locate(x, size_.width, nx_);
}

std::vector<CodeHistogram> TileHistograms(const cv::Mat& codes, int tileSide) {
  const TileGrid grid(codes.size(), tileSide);
  std::vector<CodeHistogram> histograms;
  for (int i = 0; i < grid.Count(); ++i) histograms.push_back(NormalisedHistogram(codes(grid.Tile(i))));
  return histograms;
}

DescriptorModel FitDescriptorModel(const std::vector<CodeHistogram>& histograms, int requestedDims) {
  const auto n = static_cast<long>(histograms.size());
  if (requestedDims < 0) throw std::invalid_argument("the number of principal components cannot be negative");
  if (requestedDims > n - 1) {
    throw std::invalid_argument(std::to_string(requestedDims) + " principal components need at least " +
                                std::to_string(requestedDims + 1) + " histograms, but there are " +
                                std::to_string(n) + " (cut the images into tiles with --tile)");
  }
  DescriptorModel model;
  for (std::size_t k = 0; k < 256; ++k) {
    double sum = 0.0;
    for (const CodeHistogram& h : histograms) sum += h[k];
    model.mean[k] = static_cast<float>(sum / static_cast<double>(n));
  }

  dlib::matrix<double> centred(n, 256);
  for (long i = 0; i < n; ++i) {
    for (long k = 0; k < 256; ++k)
      centred(i, k) = double(histograms[std::size_t(i)][std::size_t(k)]) - model.mean[std::size_t(k)];
  }
  const dlib::matrix<double> covariance =
      dlib::trans(centred) * centred / static_cast<double>(std::max(n - 1, 1L));
  const dlib::eigenvalue_decomposition<dlib::matrix<double>> eig(dlib::make_symmetric(covariance));
  const dlib::matrix<double, 0, 1> values = eig.get_real_eigenvalues();
  const dlib::matrix<double> vectors = eig.get_pseudo_v();

  std::vector<long> order(256);
  std::iota(order.begin(), order.end(), 0L);
  std::stable_sort(order.begin(), order.end(), [&](long a, long b) { return values(a) > values(b); });

  model.directions.reserve(65536);
  for (const long col : order) {
    std::vector<double> direction(256);
    for (long row = 0; row < 256; ++row) direction[std::size_t(row)] = vectors(row, col);
    FixSign(direction);
    for (const double v : direction) model.directions.push_back(static_cast<float>(v));
  }
  const double largest = values(order[0]);
  for (int i = 0; i < requestedDims; ++i) {
    const double v = values(order[std::size_t(i)]);
    model.leadingVariances.push_back(v);
    if (v > 0.0 && v > kRelativeVarianceFloor * largest && model.eigenvalues.size() == std::size_t(i)) {
      model.eigenvalues.push_back(static_cast<float>(v));
    }
  }
  return model;
}

std::vector<double> Describe(const cv::Mat& codes, const DescriptorModel& model) {
  const std::size_t dims = model.eigenvalues.size();
  std::array<float, 256> scales{};
  for (std::size_t i = 0; i < dims; ++i) scales[i] = std::sqrt(model.eigenvalues[i]);
  const auto weight = [&model](std::size_t i, std::size_t j) { return float(model.directions[256 * i + j]); };
  std::array<float, 256> centred{}, projection{};
  ProjectCodeHistogram(CountCodes(codes), model.mean, weight, scales, dims, centred, projection);
  return std::vector<double>(projection.begin(), projection.begin() + std::ptrdiff_t(dims));
}

}  // namespace histonorm::train
