#pragma once
// A pixel's colour key: the three bytes of an 8-bit pixel read as one number, byte 0 lowest (blue +
// 256 green + 65536 red for a blue-green-red pixel). The same 3-byte layout carries the numbers
// written in a pixel's place: colour indices, and mapped colours in look-up tables.
//
//   const ColourKey key = ReadKey(row + 3 * x);  // the pixel's colour
//   WriteKey(out + 3 * x, table[key]);          // a 3-byte number back into a pixel's place
//   const std::uint8_t green = KeyByte(key, 1);
#include <cstdint>

#include "common/channel_order.h"

namespace histonorm {

// Up to 2^24 values: a colour, or a number held in a pixel's three bytes.
using ColourKey = std::uint32_t;

// requires: `pixel` points at 3 readable bytes.  ensures: byte 0 + 256 byte 1 + 65536 byte 2.
[[nodiscard]] inline ColourKey ReadKey(const std::uint8_t* pixel) {
  return static_cast<ColourKey>(pixel[0]) | (static_cast<ColourKey>(pixel[1]) << 8U) |
         (static_cast<ColourKey>(pixel[2]) << 16U);
}

// requires: b is 0, 1 or 2.  ensures: byte b of the key (as it lies in the pixel).
[[nodiscard]] constexpr std::uint8_t KeyByte(ColourKey key, int b) {
  return static_cast<std::uint8_t>(key >> (8 * b));
}

// requires: `pixel` points at 3 writable bytes.  ensures: they hold the low 3 bytes of `value`,
// lowest first (ReadKey gives value & 0xFFFFFF back).
inline void WriteKey(std::uint8_t* pixel, std::uint32_t value) {
  pixel[0] = KeyByte(value, 0);
  pixel[1] = KeyByte(value, 1);
  pixel[2] = KeyByte(value, 2);
}

// The key of a pixel stored in `Order` as if it were stored blue, green, red.
template <ChannelOrder Order>
[[nodiscard]] ColourKey ReadBgrKey(const std::uint8_t* pixel) {
  return static_cast<ColourKey>(pixel[StoredIndex(0, Order)]) | (static_cast<ColourKey>(pixel[1]) << 8U) |
         (static_cast<ColourKey>(pixel[StoredIndex(2, Order)]) << 16U);
}

}  // namespace histonorm
