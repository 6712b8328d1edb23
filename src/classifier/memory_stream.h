#pragma once
// An input stream over bytes held elsewhere, without copying them. The bytes must outlive the
// stream. Supports the position queries and seeks that readers use (tellg, seekg).
#include <istream>
#include <streambuf>
#include <string_view>

namespace histonorm {

class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(std::string_view bytes);

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;
};

class MemoryStream : public std::istream {
 public:
  explicit MemoryStream(std::string_view bytes) : std::istream(nullptr), buffer_(bytes) { rdbuf(&buffer_); }

 private:
  MemoryBuffer buffer_;
};

}  // namespace histonorm
