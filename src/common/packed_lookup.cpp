// The look-up is compiled once per processor target (Highway's foreach_target re-includes this file).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "common/packed_lookup.cpp"
// clang-format off
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
// clang-format on

#include <cstddef>
#include <cstdint>

#include "common/colour_key.h"
#include "common/wide_pixels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace histonorm::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// LookUpPacked a vector of pixels at a time: the indices read and the entries gathered together.
void LookUpPixels(const std::uint8_t* indices, std::size_t n, const std::uint32_t* table, std::uint8_t* out) {
  const hn::ScalableTag<std::uint32_t> d;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t lanes = hn::Lanes(d);
  HWY_ALIGN std::uint32_t entries[hn::MaxLanes(d)];  // NOLINT(*-avoid-c-arrays): one vector
  std::size_t x = 0;
  for (; x + lanes < n; x += lanes) {  // an index reads 4 bytes: the last pixel is left to the plain loop
    const auto index = hn::And(ReadPixelWords(d, indices + 3 * x), hn::Set(d, 0xFFFFFFU));
    hn::Store(hn::GatherIndex(d, table, hn::BitCast(di, index)), d, entries);
    for (std::size_t i = 0; i < lanes; ++i) WriteKey(out + 3 * (x + i), entries[i]);
  }
  for (; x < n; ++x) WriteKey(out + 3 * x, table[ReadKey(indices + 3 * x)]);
}

}  // namespace histonorm::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "common/packed_lookup.h"

namespace histonorm {

HWY_EXPORT(LookUpPixels);

void LookUpPacked(const std::uint8_t* indices, std::size_t n, const std::uint32_t* table, std::uint8_t* out,
                  bool wide) {
  if (wide) {
    HWY_DYNAMIC_DISPATCH(LookUpPixels)(indices, n, table, out);
    return;
  }
  for (std::size_t x = 0; x < n; ++x, indices += 3, out += 3) WriteKey(out, table[ReadKey(indices)]);
}

}  // namespace histonorm
#endif  // HWY_ONCE
