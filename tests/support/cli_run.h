#pragma once
// Runs the built histonorm executable in a scratch directory and captures what it printed.
#include <filesystem>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace histonorm::test {

struct CliResult {
  int status = 0;                          // exit status as seen by the shell (255 for -1)
  std::string errText;                     // standard error
  std::string outText;                     // standard output
  std::vector<std::string> Lines() const;  // standard error split into lines
  // The lines after the start-up banner (which ends with " 4. ..." and a blank line).
  std::vector<std::string> AfterBanner() const;
};

// A fresh directory under the system temporary directory, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  void WriteText(const std::string& name, const std::string& text) const;
  void WriteImage(const std::string& name, const cv::Mat& image) const;
  void MakeDir(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Runs the executable at `exe` with `args` in working directory `cwd`.
CliResult RunCli(const std::string& exe, const std::vector<std::string>& args,
                 const std::filesystem::path& cwd);

}  // namespace histonorm::test
