#include "classifier/class_scorer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <random>

#include "classifier/colour_classifier.h"
#include "support/model_builder.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

// Same bits, or both NaN.
::testing::AssertionResult SameDouble(double expected, double got) {
  if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(got) ||
      (std::isnan(expected) && std::isnan(got))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << std::setprecision(17) << "library " << expected << ", scorer " << got;
}

bool IsByteColour(const std::array<double, 3>& colour) {
  return std::all_of(colour.begin(), colour.end(),
                     [](double v) { return v >= 0.0 && v <= 255.0 && v == std::floor(v); });
}

// Byte colours are scored through products of per-channel factors, whose rounding differs from
// the exp of the summed distance by a few units in the last place; any other colour is scored as
// the library scores it, to the bit.
::testing::AssertionResult MatchesLibrary(double expected, double got, const std::array<double, 3>& colour) {
  if (!IsByteColour(colour)) return SameDouble(expected, got);
  if (std::abs(expected - got) <= 1e-12) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << std::setprecision(17) << "library " << expected << ", scorer " << got << " on a byte colour";
}

// The library's score of the feature vector (descriptor, colour).
double LibraryScore(const ClassModel& model, const std::vector<double>& descriptor,
                    const std::array<double, 3>& colour) {
  FeatureVector x(static_cast<long>(descriptor.size() + 3), 1);
  for (std::size_t i = 0; i < descriptor.size(); ++i) x(static_cast<long>(i)) = descriptor[i];
  for (std::size_t c = 0; c < 3; ++c) x(static_cast<long>(descriptor.size() + c)) = colour[c];
  return model(x);
}

class RandomModels {
 public:
  explicit RandomModels(std::uint32_t seed) : rng_(seed) {}

  double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  double LogUniform(double lo, double hi) { return std::exp(Uniform(std::log(lo), std::log(hi))); }

  // Models of every size a file may hold, with parameters from saturated to flat sigmoids.
  ClassModel Model(int dims) {
    const auto length = static_cast<std::size_t>(dims + 3);
    test::ClassDefinition definition;
    const int count = Int(0, 40);
    for (int r = 0; r < count; ++r) {
      std::vector<double> v(length);
      for (auto& value : v) value = Uniform(-3.0, 3.0);
      definition.basis.push_back(v);
      definition.weights.push_back(Uniform(-2.0, 2.0));
    }
    for (std::size_t i = 0; i < length; ++i) {
      const bool colourRow = i >= length - 3;
      definition.mean.push_back(colourRow ? Uniform(0.0, 255.0) : Uniform(-0.5, 0.5));
      // Mostly the spread of the feature, sometimes zero or negative.
      const int kind = Int(0, 9);
      const double scale = colourRow ? LogUniform(1e-3, 0.1) : LogUniform(0.1, 30.0);
      definition.scale.push_back(kind == 0 ? 0.0 : kind == 1 ? -scale : scale);
    }
    definition.gamma = LogUniform(1e-3, 20.0);
    definition.bias = Uniform(-1.0, 1.0);
    definition.sigmoidA = Uniform(-20.0, 5.0);
    definition.sigmoidB = Uniform(-5.0, 5.0);
    return test::MakeClassModel(definition, static_cast<long>(length));
  }

  // Descriptor values as the classifier makes them: single-precision numbers.
  std::vector<double> Descriptor(std::size_t dims) {
    std::vector<double> d(dims);
    for (auto& value : d) value = static_cast<float>(Uniform(-0.6, 0.6));
    return d;
  }

  std::array<double, 3> Colour() {
    std::array<double, 3> colour{};
    const int kind = Int(0, 3);
    for (auto& value : colour) {
      if (kind <= 1) value = Int(0, 255);  // bytes, as images give them
      if (kind == 2) value = Uniform(-300.0, 600.0);
      if (kind == 3) value = Uniform(-1e6, 1e6);  // far from every basis vector
    }
    return colour;
  }

 private:
  std::mt19937 rng_;
};

TEST(ClassScorerTest, MatchesTheLibraryOnRandomModelsDescriptorsAndColours) {
  RandomModels random(20240611);
  int cases = 0;
  for (int m = 0; m < 300; ++m) {
    const int dims = m % 13;
    const ClassModel model = random.Model(dims);
    ClassScorer scorer(model);
    ASSERT_EQ(scorer.DescriptorLength(), static_cast<std::size_t>(dims));
    for (int d = 0; d < 4; ++d) {
      // The first round keeps the all-zero descriptor the scorer starts with.
      std::vector<double> descriptor(static_cast<std::size_t>(dims), 0.0);
      if (d > 0) {
        descriptor = random.Descriptor(static_cast<std::size_t>(dims));
        scorer.SetDescriptor(descriptor);
      }
      // The batched scores (SIMD lanes and the tail after them) are checked alongside.
      std::array<std::vector<double>, 3> colours;
      for (int c = 0; c < 25; ++c, ++cases) {
        const auto colour = random.Colour();
        ASSERT_TRUE(MatchesLibrary(LibraryScore(model, descriptor, colour), scorer.Score(colour), colour))
            << "model " << m << " descriptor " << d << " colour " << colour[0] << " " << colour[1] << " "
            << colour[2];
        for (std::size_t k = 0; k < 3; ++k) colours[k].push_back(colour[k]);
      }
      std::vector<double> batch(colours[0].size());
      scorer.Scores(colours[0], colours[1], colours[2], batch);
      for (std::size_t c = 0; c < batch.size(); ++c) {
        ASSERT_TRUE(SameDouble(scorer.Score({colours[0][c], colours[1][c], colours[2][c]}), batch[c]))
            << "model " << m << " descriptor " << d << " batched colour " << c;
      }
    }
  }
  EXPECT_EQ(cases, 30000);
}

TEST(ClassScorerTest, MatchesTheLibraryOnEveryByteAndOnNonFiniteValues) {
  const auto data = test::MakeRealisticModel(5, 12, 3);
  RandomModels random(7);
  for (const auto& model : data.classes) {
    ClassScorer scorer(model);
    const auto descriptor = random.Descriptor(5);
    scorer.SetDescriptor(descriptor);
    for (int v = 0; v < 256; ++v) {
      for (const std::array<double, 3> colour : {std::array<double, 3>{double(v), 0.0, 255.0},
                                                 {255.0, double(v), double(255 - v)},
                                                 {double(v), double(v), double(v)}}) {
        ASSERT_TRUE(MatchesLibrary(LibraryScore(model, descriptor, colour), scorer.Score(colour), colour))
            << v;
      }
    }
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (const std::array<double, 3> colour : {std::array<double, 3>{inf, 0.0, 0.0},
                                               {0.0, -inf, 0.0},
                                               {std::nan(""), 1.0, 2.0},
                                               {1e308, -1e308, 0.0}}) {
      EXPECT_TRUE(SameDouble(LibraryScore(model, descriptor, colour), scorer.Score(colour)));
    }
  }
}

// The classifier's planes are the library's probabilities of each pixel's feature vector, within
// one float step (the sum of the three scores is rounded to float before the division).
TEST(ClassScorerTest, ClassifierPlanesMatchTheLibraryEvaluation) {
  const cv::Mat image = test::RandomImage(24, 31, 11);
  for (const auto& data :
       {test::MakeTinyModel(), test::MakeStainLikeModel(3), test::MakeRealisticModel(8, 30, 2)}) {
    ColourClassifier_RVM_PCAVQ classifier(data);
    ClassProbabilityPlanes planes;
    const ImageDescriptor projection = classifier.ClassifyImage(image, planes);
    const std::vector<double> descriptor(projection.begin(), projection.end());
    for (int y = 0; y < image.rows; ++y) {
      for (int x = 0; x < image.cols; ++x) {
        const auto* p = image.ptr<std::uint8_t>(y) + 3 * x;
        std::array<double, 3> q{};
        for (std::size_t k = 0; k < 3; ++k) {
          q[k] = LibraryScore(data.classes[k], descriptor, {double(p[0]), double(p[1]), double(p[2])});
        }
        const double sum = static_cast<float>((q[0] + q[1]) + q[2]);
        const auto i = static_cast<std::size_t>(y * image.cols + x);
        for (std::size_t k = 0; k < 3; ++k) {
          const auto expected = static_cast<float>(q[k] / sum);
          ASSERT_LE(std::abs(planes[k][i] - expected), expected - std::nextafter(expected, 0.0f))
              << "pixel " << x << "," << y << " class " << k;
        }
      }
    }
  }
}

TEST(ClassScorerTest, RejectsInconsistentModelsAndDescriptors) {
  test::ClassDefinition definition = test::SingleVectorClass({1.0, 2.0, 3.0, 4.0});
  ClassModel model = test::MakeClassModel(definition, 4);
  ClassScorer scorer(model);
  EXPECT_THROW(scorer.SetDescriptor(std::vector<double>{1.0, 2.0}), std::invalid_argument);
  EXPECT_THROW(scorer.SetDescriptor(std::vector<double>{}), std::invalid_argument);

  model.function.decision_funct.alpha.set_size(2);
  EXPECT_THROW(ClassScorer{model}, std::invalid_argument);
  model = test::MakeClassModel(definition, 4);
  model.function.decision_funct.basis_vectors(0).set_size(3, 1);
  EXPECT_THROW(ClassScorer{model}, std::invalid_argument);
  model = test::MakeClassModel(test::SingleVectorClass({1.0, 2.0}), 2);
  EXPECT_THROW(ClassScorer{model}, std::invalid_argument);
}

}  // namespace
}  // namespace histonorm
