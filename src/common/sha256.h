#pragma once
// SHA-256 (FIPS 180-4) of a byte string or a file, as 64 lower-case hexadecimal digits. Used to
// tie a saved target to the exact colour model it was fitted with.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace histonorm {

[[nodiscard]] std::string Sha256Hex(std::string_view bytes);

struct FileDigest {
  std::uint64_t size = 0;
  std::string sha256;
};
// The size and SHA-256 of the file at `path`; nothing when it cannot be read.
[[nodiscard]] std::optional<FileDigest> DigestFile(const std::string& path);

}  // namespace histonorm
