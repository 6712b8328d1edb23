#include "common/safe_save.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/cli_run.h"

namespace histonorm {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  return names;
}

TEST(TemporaryFile, NamesAreHiddenShortUniqueAndNotImages) {
  const test::ScratchDir dir;
  const std::string folder = dir.Path().string() + "/";
  auto a = TemporaryFile::CreateIn(folder);
  auto b = TemporaryFile::CreateIn(folder);
  ASSERT_TRUE(a && b);
  for (const auto* f : {&*a, &*b}) {
    const std::string name = fs::path(f->Path()).filename();
    EXPECT_EQ(name.size(), 21u) << name;
    EXPECT_EQ(name.front(), '.');
    EXPECT_TRUE(name.ends_with(".tmp")) << name;
  }
  EXPECT_NE(a->Path(), b->Path());
  EXPECT_EQ(Names(dir.Path()).size(), 2u);
}

TEST(TemporaryFile, RenamedWhenCompleteRemovedOtherwise) {
  const test::ScratchDir dir;
  ASSERT_TRUE(ReplaceFile(dir / "r.txt", "new", 3));
  {
    auto dropped = TemporaryFile::CreateIn(dir.Path().string() + "/");
    ASSERT_TRUE(dropped && dropped->Write("partial", 7));
  }
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"r.txt"});
  // A target that cannot be replaced (a folder) costs neither it nor a temporary file.
  dir.MakeDir("folder.png");
  EXPECT_FALSE(ReplaceFile(dir / "folder.png", "x", 1));
  EXPECT_TRUE(fs::is_directory(dir / "folder.png"));
  EXPECT_EQ(Names(dir.Path()).size(), 2u);
}

class StopSignal : public testing::TestWithParam<int> {};

TEST_P(StopSignal, RemovesTheFileBeingWritten) {
  const test::ScratchDir dir;
  const std::string folder = dir.Path().string() + "/";
  EXPECT_EXIT(
      {
        RemoveTemporaryFilesOnSignals();
        auto file = TemporaryFile::CreateIn(folder);
        if (file && file->Write("half an image", 13)) std::raise(GetParam());
        std::exit(0);
      },
      testing::KilledBySignal(GetParam()), "");
  EXPECT_TRUE(Names(dir.Path()).empty());
}

INSTANTIATE_TEST_SUITE_P(IntAndTerm, StopSignal, testing::Values(SIGINT, SIGTERM));

}  // namespace
}  // namespace histonorm
