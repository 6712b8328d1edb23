#pragma once
// The options of a command line, anywhere among its positional words: "--name VALUE", or a flag "--name".
// One parser, and one wording of what it refuses, for every program.
//
//   const CommandWords words = SplitCommandWords(args, {{"--out", true}, {"--check", false}});
//   if (words.Has("--check")) Check(words.Value("--out").value_or("-"), words.positional);
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace histonorm {

// A command line that cannot be used; what() is the line to print, e.g. "Unknown option: '--x'".
class CommandLineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionRule {
  std::string name;         // with its "--"
  bool takesValue = false;  // the next word is its value
  bool once = true;         // given twice is refused; otherwise the last one counts
};

struct CommandWords {
  std::vector<std::string> positional;        // the words that are not options, in order
  std::map<std::string, std::string> values;  // options with a value, by name
  std::set<std::string> flags;                // options without a value that were given

  // ensures: true when the option `name` was given (a flag or with a value).
  [[nodiscard]] bool Has(const std::string& name) const;
  // ensures: the value of option `name`, or nothing when it was not given.
  [[nodiscard]] std::optional<std::string> Value(const std::string& name) const;
};

// Splits `args` (the words after the program's name): a word of two or more characters that starts with
// "--" is an option and must be one of `options`; an option with a value takes the next word.
// throws: CommandLineError for the first word in order that is refused: "Unknown option: '--x'",
//   "Option --x needs a value" (none, or an empty word), "Option --x is given twice".
[[nodiscard]] CommandWords SplitCommandWords(const std::vector<std::string>& args,
                                             const std::vector<OptionRule>& options);

// ensures: `text` as a whole number from `low` to `high` written in decimal digits (a leading '-' for
//   a negative one), or nothing.
[[nodiscard]] std::optional<long long> ParseWholeNumber(std::string_view text, long long low, long long high);

// ensures: the line of an option value that is out of its range, in the style of SplitCommandWords:
//   "Bad value for --x: 'text' (why)".
[[nodiscard]] std::string BadValueLine(const std::string& option, const std::string& text,
                                       const std::string& why);

}  // namespace histonorm
