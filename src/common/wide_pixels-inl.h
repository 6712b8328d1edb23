// Per-target helpers for the passes over 3-byte pixels that only move bytes and look up tables
// (integer work: every target gives the bytes of the plain loops). Included by a file compiled once per
// target through Highway's foreach_target, after <hwy/highway.h>; defines its functions in
// histonorm::HWY_NAMESPACE.
//
//   const hn::Rebind<std::uint32_t, decltype(d64)> d32;
//   const auto keys = hn::And(ReadPixelWords(d32, pixels), hn::Set(d32, 0xFFFFFF));  // Lanes(d32) keys
// Per-target include guard: the file is included once for every target.
#if defined(HISTONORM_COMMON_WIDE_PIXELS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef HISTONORM_COMMON_WIDE_PIXELS_INL_H_
#undef HISTONORM_COMMON_WIDE_PIXELS_INL_H_
#else
#define HISTONORM_COMMON_WIDE_PIXELS_INL_H_
#endif

#include <hwy/highway.h>

#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace histonorm::HWY_NAMESPACE {

// requires: `pixels` points at Lanes(d) 3-byte pixels followed by at least one more readable byte.
// ensures:  lane i holds the 4 bytes from pixel i on, byte 0 lowest: its key in the low 3 bytes and
//           the next pixel's first byte on top.
template <class D>
HWY_INLINE hwy::HWY_NAMESPACE::Vec<D> ReadPixelWords(D d, const std::uint8_t* pixels) {
  namespace hn = hwy::HWY_NAMESPACE;
  static_assert(sizeof(hn::TFromD<D>) == 4);
  const hn::RebindToSigned<D> di;
  return hn::GatherOffset(d, reinterpret_cast<const hn::TFromD<D>*>(pixels),
                          hn::Mul(hn::Iota(di, 0), hn::Set(di, 3)));
}

}  // namespace histonorm::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // HISTONORM_COMMON_WIDE_PIXELS_INL_H_
