#include "common/packed_lookup.h"

#include "common/wide_pixels.h"

namespace histonorm {

namespace {

#if defined(HISTONORM_HAS_WIDE_PIXELS)
HISTONORM_WIDE_CODE_BEGIN
HISTONORM_WIDE_PIXELS void LookUpPackedWide(const std::uint8_t* indices, std::size_t n,
                                            const std::uint32_t* table, std::uint8_t* out) {
  MapPixelLanes(indices, n, out, [table](__m512i lanes, __mmask16 valid) HISTONORM_WIDE_PIXELS {
    return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), valid, lanes, table, 4);
  });
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
  for (std::size_t x = 0; x < n; ++x, indices += 3, out += 3)
    WritePackedIndex(out, table[ReadPackedIndex(indices)]);
}

}  // namespace histonorm
