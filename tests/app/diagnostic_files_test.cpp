#include "app/diagnostic_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "support/cli_run.h"

namespace histonorm::app {
namespace {

StainDiagnostics Mapped() {
  StainDiagnostics d{".mapped", "0.5 0.5 0.7\n0.1 0.9 0.4\n0 0 0\n", {}};
  d.channels[0] = cv::Mat(2, 3, CV_8UC1, cv::Scalar(40));
  d.channels[1] = cv::Mat(2, 3, CV_8UC1, cv::Scalar(200));
  return d;
}

TEST(DiagnosticFiles, WrittenUnderLongNamesFromThePrefix) {
  test::ScratchDir dir;
  // A name well beyond 512 characters, through nested directories.
  std::string sub;
  for (int i = 0; i < 5; ++i) sub += std::string(120, static_cast<char>('a' + i)) + "/";
  dir.MakeDir(sub);
  const std::string prefix = dir / (sub + "img.png");
  WriteDiagnosticFiles(prefix, Mapped());
  std::ifstream vectors(prefix + ".mapped.vectors.txt");
  std::stringstream text;
  text << vectors.rdbuf();
  EXPECT_EQ(text.str(), Mapped().vectors);
  const cv::Mat one = cv::imread(prefix + ".mapped.channels.1.jpg", cv::IMREAD_UNCHANGED);
  const cv::Mat two = cv::imread(prefix + ".mapped.channels.2.jpg", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(one.type(), CV_8UC1);
  EXPECT_EQ(two.size(), cv::Size(3, 2));
  EXPECT_NEAR(two.at<std::uint8_t>(1, 2), 200, 3);  // JPEG is lossy
  EXPECT_FALSE(std::filesystem::exists(prefix + ".mapped.channels.3.jpg"));
}

TEST(DiagnosticFiles, VectorsAloneWithoutPicturesAndFailuresNameTheFile) {
  test::ScratchDir dir;
  StainDiagnostics unusable = Mapped();
  unusable.channels = {};
  WriteDiagnosticFiles(dir / "x", unusable);
  EXPECT_TRUE(std::filesystem::exists(dir / "x.mapped.vectors.txt"));
  EXPECT_FALSE(std::filesystem::exists(dir / "x.mapped.channels.1.jpg"));
  try {
    WriteDiagnosticFiles(dir / "missing/x", Mapped());
    FAIL();
  } catch (const DiagnosticFileError& e) {
    EXPECT_EQ(e.what(), dir / "missing/x.mapped.vectors.txt");
  }
}

}  // namespace
}  // namespace histonorm::app
