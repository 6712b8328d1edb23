#pragma once
// The method-specific part of a saved target (histonorm/saved_target.h) and the checked readers
// the methods use to take it apart.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace histonorm::detail {

// The JSON value's destructor does not throw, but the analysis cannot see through it.
struct TargetRecord {     // NOLINT(bugprone-exception-escape)
  std::string method;     // the method's command-line name
  nlohmann::json target;  // the method's statistics
};

// A double as a hexadecimal string that reads back bit-exactly ("%a").
[[nodiscard]] std::string HexDouble(double value);

// The checked readers: each throws TargetFileError naming `key` when the value is missing or of
// the wrong kind.
// A finite double written by HexDouble.
[[nodiscard]] double ReadFiniteDouble(const nlohmann::json& object, const char* key);
// A JSON array of exactly `size` elements.
[[nodiscard]] const nlohmann::json& ReadArray(const nlohmann::json& object, const char* key,
                                              std::size_t size);
// A non-negative integer (a count).
[[nodiscard]] std::uint64_t ReadCount(const nlohmann::json& value, const char* key);

// Throws TargetFileError unless the record was saved by `method`.
void RequireMethod(const TargetRecord& record, const char* method);

}  // namespace histonorm::detail
