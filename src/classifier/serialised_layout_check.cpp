#include "classifier/serialised_layout_check.h"

#include <dlib/serialize.h>

#include <cstdint>
#include <limits>
#include <string>

#include "classifier/memory_stream.h"
#include "histonorm/model_load_error.h"

namespace histonorm {

namespace {

// Walks the serialised layout, mirroring how the deserialiser decodes each item.
class LayoutWalker {
 public:
  explicit LayoutWalker(std::string_view bytes) : size_(bytes.size()), in_(bytes) {}

  void ClassModel() {
    Matrix(Element::kNumber, false);  // normaliser mean
    Matrix(Element::kNumber, false);  // normaliser scale
    Matrix(Element::kNumber, false);  // legacy projection matrix
    Number();                         // sigmoid A
    Number();                         // sigmoid B
    Matrix(Element::kNumber, true);   // weights
    Number();                         // bias
    Number();                         // kernel width
    Matrix(Element::kVector, true);   // basis vectors
  }

 private:
  enum class Element { kNumber, kVector };

  [[noreturn]] void Fail(const std::string& what) const {
    throw ModelLoadError("malformed binary section: " + what + " at byte " + std::to_string(Position()));
  }

  std::size_t Position() const {
    return static_cast<std::size_t>(in_.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in));
  }
  std::size_t Remaining() const { return size_ - Position(); }

  // A compact integer: a control byte (bit 7 sign, bits 0-3 byte count) and little-endian bytes.
  std::int64_t Integer(unsigned maxBytes) {
    const int control = in_.rdbuf()->sbumpc();
    if (control == std::char_traits<char>::eof()) Fail("the section ends early");
    const unsigned count = static_cast<unsigned>(control) & 0x0Fu;
    if (count == 0 || count > maxBytes) Fail("an integer of " + std::to_string(count) + " bytes");
    std::uint64_t magnitude = 0;
    for (unsigned i = 0; i < count; ++i) {
      const int byte = in_.rdbuf()->sbumpc();
      if (byte == std::char_traits<char>::eof()) Fail("the section ends early");
      magnitude |= static_cast<std::uint64_t>(byte) << (8 * i);
    }
    const auto value = static_cast<std::int64_t>(magnitude);
    // The deserialiser negates values; the most negative one has no negation.
    if (maxBytes == 8 && value == std::numeric_limits<std::int64_t>::min()) Fail("an integer out of range");
    return (static_cast<unsigned>(control) & 0x80u) != 0 ? -value : value;
  }

  void Number() {
    const int first = in_.rdbuf()->sgetc();
    if (first == std::char_traits<char>::eof()) Fail("the section ends early");
    if ((first & 0x70) == 0) {
      Integer(8);  // mantissa
      Integer(2);  // binary exponent
      return;
    }
    double ignored = 0;  // the older text form, decoded by the deserialiser's own routine
    if (dlib::old_deserialize_floating_point(ignored, in_)) Fail("an unreadable number");
  }

  void Matrix(Element element, bool singleColumn) {
    std::int64_t rows = Integer(8);
    std::int64_t cols = Integer(8);
    if (rows < 0 || cols < 0) {  // the newer format stores both sizes negated
      rows = -rows;
      cols = -cols;
    }
    if (rows < 0 || cols < 0) Fail("a negative matrix size");
    if (singleColumn && cols != 1) Fail("a vector with " + std::to_string(cols) + " columns");
    const auto left = static_cast<std::int64_t>(Remaining());
    if (rows > left || cols > left) Fail("a matrix larger than the file");
    for (std::int64_t r = 0; r < rows; ++r) {
      for (std::int64_t c = 0; c < cols; ++c) {
        if (element == Element::kNumber) {
          Number();
        } else {
          Matrix(Element::kNumber, false);
        }
      }
    }
  }

  std::size_t size_;
  mutable MemoryStream in_;
};

}  // namespace

void CheckSerialisedClassModels(std::string_view bytes, int modelCount) {
  LayoutWalker walker(bytes);
  for (int k = 0; k < modelCount; ++k) walker.ClassModel();
}

}  // namespace histonorm
