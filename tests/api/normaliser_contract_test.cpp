// The public interface of every method: what the checked operations accept, refuse and promise.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "histonorm/histonorm.h"
#include "support/test_images.h"

namespace histonorm {
namespace {

std::string ShippedModel() { return std::string(HISTONORM_MODEL_DIR) + "/he.model"; }

// Small tissue crops, so that the stain method finds both stains in each.
cv::Mat Target() { return test::LoadSample("he_sample_2.png")(cv::Rect(100, 80, 96, 72)).clone(); }
cv::Mat Source() { return test::LoadSample("he_sample_1.png")(cv::Rect(200, 150, 80, 60)).clone(); }

class EveryMethod : public testing::TestWithParam<Method> {
 protected:
  std::unique_ptr<CNormBase> Make() const {
    Options options;
    options.colourModelPath = ShippedModel();
    return MakeNormaliser(GetParam(), options);
  }
  std::unique_ptr<CNormBase> Measured() const {
    auto norm = Make();
    norm->CalcStats(Target());
    return norm;
  }
};

// Runs `f`, expecting it to throw E with every one of `parts` in its message.
template <typename E, typename F>
void ExpectThrowNaming(F&& f, std::initializer_list<const char*> parts) {
  try {
    f();
    ADD_FAILURE() << "nothing thrown";
  } catch (const E& e) {
    for (const char* part : parts) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

TEST_P(EveryMethod, HonoursRowStrideAndLeavesPaddingAlone) {
  const auto norm = Measured();
  ASSERT_TRUE(norm->HasUsableTarget());
  const cv::Mat source = Source();
  const cv::Mat dense = norm->Norm(source);
  const test::PaddedView in = test::MakePadded(source, 3, 77);
  test::PaddedView out = test::MakePadded(cv::Mat(source.size(), CV_8UC3, cv::Scalar::all(0)), 5, 99);
  norm->Norm(in.view, out.view);
  EXPECT_TRUE(test::PaddingUntouched(in, 77));
  EXPECT_TRUE(test::PaddingUntouched(out, 99));
  EXPECT_EQ(cv::norm(out.view, dense, cv::NORM_INF), 0.0);
}

TEST_P(EveryMethod, NormalisingIsRepeatableAndChangesNothingOfTheNormaliser) {
  const auto norm = Measured();
  const cv::Mat source = Source();
  const cv::Mat first = norm->Norm(source);
  ASSERT_EQ(first.size(), source.size());
  ASSERT_EQ(first.type(), CV_8UC3);
  static_cast<void>(norm->Norm(Target()));  // another image in between
  cv::Mat again(source.size(), CV_8UC3, cv::Scalar(1, 2, 3));
  norm->Norm(source, again);
  EXPECT_EQ(cv::norm(again, first, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(source, Source(), cv::NORM_INF), 0.0);  // the input is only read
}

// One normaliser serves several threads at once; each call's lines go to the sinks it was given,
// and a copy is independent of its original.
TEST_P(EveryMethod, ThreadsShareOneNormaliserAndCopiesAreIndependent) {
  const auto norm = Measured();
  const cv::Mat source = Source();
  std::vector<std::string> alone;
  const CallSinks aloneSinks{LogSink([&](std::string_view line) { alone.emplace_back(line); }), {}};
  cv::Mat expected(source.size(), CV_8UC3);
  norm->Norm(source, expected, ChannelOrder::kBgr, aloneSinks);
  std::vector<cv::Mat> outputs(4);
  std::vector<std::vector<std::string>> lines(outputs.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < outputs.size(); ++t) {
    threads.emplace_back([&, t] {
      outputs[t] = cv::Mat(source.size(), CV_8UC3);
      const CallSinks sinks{LogSink([&, t](std::string_view line) { lines[t].emplace_back(line); }), {}};
      norm->Norm(source, outputs[t], ChannelOrder::kBgr, sinks);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < outputs.size(); ++t) {
    EXPECT_EQ(cv::norm(outputs[t], expected, cv::NORM_INF), 0.0) << t;
    EXPECT_EQ(lines[t], alone) << t;
  }
  const auto copy = norm->Copy();
  copy->CalcStats(Source());  // changes the copy's target only
  EXPECT_EQ(cv::norm(norm->Norm(source), expected, cv::NORM_INF), 0.0);
  const auto twin = norm->Copy();
  EXPECT_EQ(cv::norm(twin->Norm(source), expected, cv::NORM_INF), 0.0);
}

TEST_P(EveryMethod, RefusesUnsuitableImagesBeforeTouchingAnything) {
  const auto norm = Make();
  EXPECT_FALSE(norm->HasUsableTarget());
  const cv::Mat source = Source();
  cv::Mat output(source.size(), CV_8UC3, cv::Scalar(9, 9, 9));
  ExpectThrowNaming<std::logic_error>([&] { norm->Norm(source, output); }, {"no usable target"});
  EXPECT_THROW(static_cast<void>(norm->Norm(source)), std::logic_error);
  ExpectThrowNaming<std::invalid_argument>([&] { norm->CalcStats(cv::Mat(7, 5, CV_8UC1, cv::Scalar(3))); },
                                           {"5x7", "CV_8UC1"});
  EXPECT_THROW(norm->CalcStats(cv::Mat()), std::invalid_argument);
  EXPECT_FALSE(norm->HasUsableTarget());

  norm->CalcStats(Target());
  ExpectThrowNaming<std::invalid_argument>(
      [&] { norm->Norm(cv::Mat(source.size(), CV_8UC1, cv::Scalar(3)), output); }, {"80x60", "CV_8UC1"});
  EXPECT_THROW(static_cast<void>(norm->Norm(cv::Mat())), std::invalid_argument);
  cv::Mat smaller(source.rows - 1, source.cols, CV_8UC3, cv::Scalar(9, 9, 9));
  ExpectThrowNaming<std::invalid_argument>([&] { norm->Norm(source, smaller); }, {"80x59", "80x60"});
  cv::Mat grey(source.size(), CV_8UC1, cv::Scalar(9));
  ExpectThrowNaming<std::invalid_argument>([&] { norm->Norm(source, grey); }, {"CV_8UC1", "CV_8UC3"});
  EXPECT_EQ(cv::countNonZero(smaller.reshape(1) != 9), 0);
  EXPECT_EQ(cv::countNonZero(grey != 9), 0);
  EXPECT_EQ(cv::countNonZero(output.reshape(1) != 9), 0);
}

// Red-green-blue pixels, measured and normalised in that order (out of place on a padded view, and in
// place), give the bytes and log lines of converting around the blue-green-red operations.
TEST_P(EveryMethod, RedGreenBlueOrderGivesTheBytesOfConvertingAround) {
  const auto run = [this](bool rgb, std::vector<std::string>& lines) {
    Options options;
    options.colourModelPath = ShippedModel();
    options.log = LogSink([&lines](std::string_view line) { lines.emplace_back(line); });
    const auto norm = MakeNormaliser(GetParam(), options);
    const ChannelOrder order = rgb ? ChannelOrder::kRgb : ChannelOrder::kBgr;
    const auto stored = [rgb](const cv::Mat& bgr) {
      cv::Mat image = bgr.clone();
      if (rgb) cv::cvtColor(bgr, image, cv::COLOR_BGR2RGB);
      return image;
    };
    lines.clear();
    norm->CalcStats(stored(Target()), order);
    const test::PaddedView in = test::MakePadded(stored(Source()), 3, 77);
    test::PaddedView out = test::MakePadded(cv::Mat(in.view.size(), CV_8UC3, cv::Scalar::all(0)), 5, 99);
    norm->Norm(in.view, out.view, order);
    EXPECT_TRUE(test::PaddingUntouched(in, 77));
    EXPECT_TRUE(test::PaddingUntouched(out, 99));
    cv::Mat inPlace = stored(test::LoadSample("he_sample_3.png")(cv::Rect(150, 90, 80, 60)));
    norm->Norm(inPlace, inPlace, order);
    return std::pair(stored(out.view), stored(inPlace));  // back in blue-green-red order
  };
  std::vector<std::string> bgrLines;
  std::vector<std::string> rgbLines;
  const auto [bgrOut, bgrInPlace] = run(false, bgrLines);
  const auto [rgbOut, rgbInPlace] = run(true, rgbLines);
  EXPECT_EQ(cv::norm(rgbOut, bgrOut, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(rgbInPlace, bgrInPlace, cv::NORM_INF), 0.0);
  EXPECT_EQ(rgbLines, bgrLines);
}

TEST_P(EveryMethod, WritesNothingToTheConsole) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const auto norm = Measured();
  static_cast<void>(norm->Norm(Source()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

INSTANTIATE_TEST_SUITE_P(AllMethods, EveryMethod, testing::ValuesIn(kAllMethods),
                         [](const testing::TestParamInfo<Method>& info) {
                           return std::string(MethodName(info.param));
                         });

TEST(MakeNormaliser, NamesAndOptionsAreChecked) {
  for (const Method method : kAllMethods) EXPECT_EQ(ParseMethod(MethodName(method)), method);
  EXPECT_EQ(ParseMethod("reinhard"), std::nullopt);
  EXPECT_EQ(ParseMethod(""), std::nullopt);

  Options options;
  options.colourModelPath = "no such model";
  EXPECT_THROW(static_cast<void>(MakeNormaliser(Method::kBimodalDeconvRVM, options)), ModelLoadError);
  EXPECT_NE(MakeNormaliser(Method::kReinhard, options), nullptr);  // other methods need no model
  options.colourModelPath = ShippedModel();
  options.stainParams.probThreshold = 1.5f;
  ExpectThrowNaming<std::invalid_argument>(
      [&] { static_cast<void>(MakeNormaliser(Method::kBimodalDeconvRVM, options)); }, {"probThreshold 1.5"});
  EXPECT_THROW(static_cast<void>(MakeNormaliser(static_cast<Method>(9), options)), std::invalid_argument);
}

TEST(MakeNormaliser, TheStainMethodLogsToItsSink) {
  std::ostringstream log;
  Options options;
  options.colourModelPath = ShippedModel();
  options.log = LogSink::To(log);
  const auto norm = MakeNormaliser(Method::kBimodalDeconvRVM, options);
  EXPECT_EQ(log.str().rfind("Reduced PCA Dim=", 0), 0u);
  norm->CalcStats(Target());
  EXPECT_NE(log.str().find("\nTImage Channel(1) sdb="), std::string::npos);
  static_cast<void>(norm->Norm(Source()));  // both stages run on these crops
  EXPECT_NE(log.str().find("\n[2nd stage] Image Channel(1) sdb="), std::string::npos);
}

}  // namespace
}  // namespace histonorm
