#include "common/packed_lookup.h"

#include <algorithm>
#include <array>

#include "common/wide_pixels.h"

namespace histonorm {

namespace {

#if defined(HISTONORM_HAS_WIDE_PIXELS)
HISTONORM_WIDE_CODE_BEGIN
// Pixels per step: all of a step's indices are loaded before any of its results is stored, so that
// in place, loads do not wait on the stores just before them.
constexpr std::size_t kStep = 64;

HISTONORM_WIDE_PIXELS void LookUpPackedWide(const std::uint8_t* indices, std::size_t n,
                                            const std::uint32_t* table, std::uint8_t* out) {
  for (std::size_t x = 0; x < n; x += kStep, indices += 3 * kStep, out += 3 * kStep) {
    __m512i lanes[kStep / 16];  // NOLINT(*-avoid-c-arrays): vector registers, not elements
    std::array<__mmask64, kStep / 16> bytes{};
    std::array<__mmask16, kStep / 16> valid{};
    for (std::size_t k = 0; k < kStep / 16; ++k) {
      const std::size_t m = x + 16 * k < n ? std::min<std::size_t>(16, n - x - 16 * k) : 0;
      bytes[k] = PixelBytesMask(m);
      valid[k] = static_cast<__mmask16>((1U << m) - 1U);
      lanes[k] = LoadPixelLanes(indices + 48 * k, bytes[k]);
    }
    for (std::size_t k = 0; k < kStep / 16; ++k) {
      StorePixelLanes(out + 48 * k, bytes[k],
                      _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), valid[k], lanes[k], table, 4));
    }
  }
}
HISTONORM_WIDE_CODE_END
#endif

}  // namespace

void LookUpPacked(const std::uint8_t* indices, std::size_t n, const std::uint32_t* table, std::uint8_t* out,
                  bool wide) {
#if defined(HISTONORM_HAS_WIDE_PIXELS)
  if (wide && WidePixelsAvailable()) {
    LookUpPackedWide(indices, n, table, out);
    return;
  }
#endif
  for (std::size_t x = 0; x < n; ++x, indices += 3, out += 3) {
    const std::uint32_t entry =
        table[static_cast<std::uint32_t>(indices[0]) | (static_cast<std::uint32_t>(indices[1]) << 8U) |
              (static_cast<std::uint32_t>(indices[2]) << 16U)];
    out[0] = static_cast<std::uint8_t>(entry);
    out[1] = static_cast<std::uint8_t>(entry >> 8U);
    out[2] = static_cast<std::uint8_t>(entry >> 16U);
  }
}

}  // namespace histonorm
