#include "common/command_words.h"

#include <algorithm>
#include <charconv>

namespace histonorm {

bool CommandWords::Has(const std::string& name) const {
  return flags.contains(name) || values.contains(name);
}

std::optional<std::string> CommandWords::Value(const std::string& name) const {
  const auto found = values.find(name);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

CommandWords SplitCommandWords(const std::vector<std::string>& args, const std::vector<OptionRule>& options) {
  CommandWords words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || !arg.starts_with("--")) {
      words.positional.push_back(arg);
      continue;
    }
    const auto rule = std::find_if(options.begin(), options.end(),
                                   [&arg](const OptionRule& option) { return option.name == arg; });
    if (rule == options.end()) throw CommandLineError("Unknown option: '" + arg + "'");
    if (rule->once && words.Has(arg)) throw CommandLineError("Option " + arg + " is given twice");
    if (!rule->takesValue) {
      words.flags.insert(arg);
      continue;
    }
    if (i + 1 == args.size() || args[i + 1].empty())
      throw CommandLineError("Option " + arg + " needs a value");
    words.values[arg] = args[++i];
  }
  return words;
}

std::optional<long long> ParseWholeNumber(std::string_view text, long long low, long long high) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

std::string BadValueLine(const std::string& option, const std::string& text, const std::string& why) {
  return "Bad value for " + option + ": '" + text + "' (" + why + ")";
}

}  // namespace histonorm
