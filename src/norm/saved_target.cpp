#include "histonorm/saved_target.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <ostream>

#include "norm/target_record.h"

namespace histonorm {

namespace {

const char kFormat[] = "histonorm-target";
constexpr int kVersion = 1;

}  // namespace

namespace detail {

std::string HexDouble(double value) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%a", value);
  return std::string(text, static_cast<std::size_t>(n));
}

double ReadFiniteDouble(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    throw TargetFileError(std::string("'") + key + "' is missing or not a number written as text");
  }
  const std::string& text = it->get_ref<const std::string&>();
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value)) {
    throw TargetFileError(std::string("'") + key + "' is not a finite number: '" + text + "'");
  }
  return value;
}

const nlohmann::json& ReadArray(const nlohmann::json& object, const char* key, std::size_t size) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_array() || it->size() != size) {
    throw TargetFileError(std::string("'") + key + "' is missing or not an array of " + std::to_string(size) +
                          " values");
  }
  return *it;
}

std::uint64_t ReadCount(const nlohmann::json& value, const char* key) {
  if (!value.is_number_unsigned()) {
    throw TargetFileError(std::string("'") + key + "' holds a value that is not a count: " + value.dump());
  }
  return value.get<std::uint64_t>();
}

void RequireMethod(const TargetRecord& record, const char* method) {
  if (record.method != method) {
    throw TargetFileError("Target was fitted with method '" + record.method + "', not '" + method + "'");
  }
  // Written by a tissue-only normaliser (norm/tissue_only.h), which hands its method the rest.
  if (record.target.contains("tissueOnly")) {
    throw TargetFileError("the target was fitted from tissue pixels only: normalise tissue only too");
  }
}

}  // namespace detail

void CNormBase::ExportTarget(detail::TargetRecord& /*record*/) const {
  throw std::logic_error("SaveTarget: this method cannot save its target");
}

void CNormBase::ImportTarget(const detail::TargetRecord& /*record*/) {
  throw std::logic_error("LoadTarget: this method cannot load a saved target");
}

void SaveTarget(const CNormBase& normaliser, std::ostream& out) {
  if (!normaliser.HasUsableTarget()) throw std::logic_error("SaveTarget: there is no usable target to save");
  detail::TargetRecord record;
  normaliser.ExportTarget(record);
  const nlohmann::json file = {
      {"format", kFormat}, {"version", kVersion}, {"method", record.method}, {"target", record.target}};
  out << file.dump(1) << '\n';
}

void LoadTarget(CNormBase& normaliser, std::istream& in) {
  nlohmann::json file;
  try {
    file = nlohmann::json::parse(in);
  } catch (const nlohmann::json::parse_error& e) {
    throw TargetFileError("not a whole JSON file: it breaks off or goes wrong at byte " +
                          std::to_string(e.byte));
  }
  const auto format = file.is_object() ? file.find("format") : file.end();
  if (!file.is_object() || format == file.end() || *format != kFormat) {
    throw TargetFileError(std::string("not a target file (format is not '") + kFormat + "')");
  }
  const auto version = file.find("version");
  if (version == file.end() || !version->is_number_integer() || version->get<int>() != kVersion) {
    throw TargetFileError("target file version " +
                          (version == file.end() ? std::string("(none)") : version->dump()) +
                          " is not the supported version " + std::to_string(kVersion));
  }
  const auto method = file.find("method");
  const auto target = file.find("target");
  if (method == file.end() || !method->is_string() || target == file.end() || !target->is_object()) {
    throw TargetFileError("target file has no method name or no target");
  }
  detail::TargetRecord record{method->get<std::string>(), *target};
  try {
    normaliser.ImportTarget(record);
  } catch (const nlohmann::json::exception& e) {
    throw TargetFileError(std::string("a value is of the wrong kind: ") + e.what());
  }
}

}  // namespace histonorm
