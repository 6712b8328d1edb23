#pragma once
// Sixteen 3-byte pixels at a time in 512-bit registers, for the per-pixel passes that only move
// bytes and look up tables (integer work: the results are those of the plain loops, bit for bit).
//
// Functions marked HISTONORM_WIDE_PIXELS exist where HISTONORM_HAS_WIDE_PIXELS is defined (x86-64
// with GCC or Clang) and may run only where WidePixelsAvailable() is true; elsewhere the callers
// keep their plain loops.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define HISTONORM_HAS_WIDE_PIXELS 1
#endif

namespace histonorm {

// Whether this processor runs the wide passes (checked once).
[[nodiscard]] inline bool WidePixelsAvailable() {
#if defined(HISTONORM_HAS_WIDE_PIXELS)
  static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
                                __builtin_cpu_supports("avx512vpopcntdq");
  return available;
#else
  return false;
#endif
}

#if defined(HISTONORM_HAS_WIDE_PIXELS)
#define HISTONORM_WIDE_PIXELS __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vpopcntdq")))

// GCC 12 takes the undefined start values of some AVX-512 intrinsics for uninitialised variables:
// code using them goes between these two.
#if defined(__clang__)
#define HISTONORM_WIDE_CODE_BEGIN
#define HISTONORM_WIDE_CODE_END
#else
#define HISTONORM_WIDE_CODE_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define HISTONORM_WIDE_CODE_END _Pragma("GCC diagnostic pop")
#endif

HISTONORM_WIDE_CODE_BEGIN

// The byte mask of the first `pixels` (at most 16) pixels' 3 bytes each.
HISTONORM_WIDE_PIXELS inline __mmask64 PixelBytesMask(std::size_t pixels) {
  return (std::uint64_t{1} << (3 * pixels)) - 1;
}

// Up to 16 pixels (3 bytes each, `mask` from PixelBytesMask) as 32-bit lanes: byte 0 + 256 x byte
// 1 + 65536 x byte 2; lanes past the pixels are 0. Reads no byte outside the mask.
HISTONORM_WIDE_PIXELS inline __m512i LoadPixelLanes(const std::uint8_t* pixels, __mmask64 mask) {
  alignas(64) static constexpr std::array<std::uint8_t, 64> kSpread = [] {
    std::array<std::uint8_t, 64> t{};
    for (int i = 0; i < 16; ++i) {
      for (int j = 0; j < 3; ++j) t[4 * i + j] = static_cast<std::uint8_t>(3 * i + j);
    }
    return t;
  }();
  constexpr __mmask64 kLowThreeBytes = 0x7777777777777777ULL;
  return _mm512_maskz_permutexvar_epi8(kLowThreeBytes, _mm512_load_si512(kSpread.data()),
                                       _mm512_maskz_loadu_epi8(mask, pixels));
}

// The low 3 bytes of each lane written as consecutive 3-byte pixels; writes no byte outside `mask`.
HISTONORM_WIDE_PIXELS inline void StorePixelLanes(std::uint8_t* pixels, __mmask64 mask, __m512i lanes) {
  alignas(64) static constexpr std::array<std::uint8_t, 64> kPack = [] {
    std::array<std::uint8_t, 64> t{};
    for (int k = 0; k < 48; ++k) t[k] = static_cast<std::uint8_t>((k / 3) * 4 + k % 3);
    return t;
  }();
  _mm512_mask_storeu_epi8(pixels, mask, _mm512_permutexvar_epi8(_mm512_load_si512(kPack.data()), lanes));
}

// Pixels per step of MapPixelLanes: all of a step's pixels are loaded before any result is stored,
// so that in place, loads do not wait on the stores just before them.
inline constexpr std::size_t kPixelStep = 64;

// Writes map(lanes, valid) for each group of up to 16 of the n pixels at `in` (LoadPixelLanes; bit i
// of `valid` set for lane i holding a pixel) to the same pixels of `out` (StorePixelLanes). `out`
// may be `in`. `map` must be callable in this target (a lambda marked HISTONORM_WIDE_PIXELS).
template <typename Map>
HISTONORM_WIDE_PIXELS inline void MapPixelLanes(const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                                                const Map& map) {
  constexpr std::size_t kGroups = kPixelStep / 16;
  for (std::size_t x = 0; x < n; x += kPixelStep, in += 3 * kPixelStep, out += 3 * kPixelStep) {
    __m512i lanes[kGroups];  // NOLINT(*-avoid-c-arrays): vector registers, not elements
    std::array<std::size_t, kGroups> pixels{};
    for (std::size_t k = 0; k < kGroups; ++k) {
      pixels[k] = x + 16 * k < n ? std::min<std::size_t>(16, n - x - 16 * k) : 0;
      lanes[k] = LoadPixelLanes(in + 48 * k, PixelBytesMask(pixels[k]));
    }
    for (std::size_t k = 0; k < kGroups; ++k) {
      const auto valid = static_cast<__mmask16>((1U << pixels[k]) - 1U);
      StorePixelLanes(out + 48 * k, PixelBytesMask(pixels[k]), map(lanes[k], valid));
    }
  }
}

HISTONORM_WIDE_CODE_END
#endif

}  // namespace histonorm
