#include "support/cli_run.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/text_lines.h"

namespace histonorm::test {

namespace {

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::vector<std::string> CliResult::Lines() const { return SplitLines(errText); }

std::vector<std::string> CliResult::AfterBanner() const {
  const auto lines = Lines();
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    if (lines[i].rfind(" 4. ", 0) == 0) return {lines.begin() + static_cast<long>(i) + 2, lines.end()};
  }
  return lines;
}

ScratchDir::ScratchDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("histonorm_test_" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void ScratchDir::WriteText(const std::string& name, const std::string& text) const {
  std::ofstream out(path_ / name, std::ios::binary);
  out << text;
}

void ScratchDir::WriteImage(const std::string& name, const cv::Mat& image) const {
  if (!cv::imwrite((path_ / name).string(), image)) throw std::runtime_error("cannot write " + name);
}

void ScratchDir::MakeDir(const std::string& name) const { std::filesystem::create_directories(path_ / name); }

CliResult RunCli(const std::string& exe, const std::vector<std::string>& args,
                 const std::filesystem::path& cwd) {
  const std::filesystem::path err = cwd / ".stderr.txt";
  const std::filesystem::path out = cwd / ".stdout.txt";
  std::string command = "cd ";
  command += ShellQuote(cwd.string());
  command += " && ";
  command += ShellQuote(exe);
  for (const auto& a : args) {
    command += ' ';
    command += ShellQuote(a);
  }
  command += " 2>";
  command += ShellQuote(err.string());
  command += " >";
  command += ShellQuote(out.string());
  command += " </dev/null";
  const int raw = std::system(command.c_str());
  CliResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1000;
  result.errText = ReadFile(err);
  result.outText = ReadFile(out);
  std::filesystem::remove(err);
  std::filesystem::remove(out);
  return result;
}

}  // namespace histonorm::test
