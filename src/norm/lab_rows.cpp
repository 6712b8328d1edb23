// The conversions are compiled once per processor target (Highway's foreach_target re-includes this
// file). They follow the plain conversions of lab_colour.cpp operation by operation, in the same
// precision; only the logarithms and powers come from the vector maths library.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "norm/lab_rows.cpp"
// clang-format off
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
#include <hwy/contrib/math/math-inl.h>
// clang-format on

#include "norm/lab_rows.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace histonorm::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DD = hn::ScalableTag<double>;
using DF = hn::Rebind<float, DD>;
using VD = hn::Vec<DD>;
using VF = hn::Vec<DF>;

// A single-precision value divided by a double-precision constant, rounded to single precision.
HWY_INLINE VF DivideRounded(VF value, double by) {
  const DD dd;
  return hn::DemoteTo(DF(), hn::Div(hn::PromoteTo(dd, value), hn::Set(dd, by)));
}

// Ten to the power of a single-precision value, rounded to single precision (as a single-precision
// power: infinite above its range, 0 below it).
HWY_INLINE VF PowerOfTen(VF exponent) {
  const DD dd;
  const VD x = hn::Mul(hn::PromoteTo(dd, exponent), hn::Set(dd, 2.302585092994045684017991454684));
  // Past e^100 every single-precision result is infinite; the exponential is kept to its own range.
  const VD capped = hn::IfThenElse(hn::Gt(x, hn::Set(dd, 100.0)), hn::Set(dd, 100.0), x);
  const VD power = hn::IfThenElse(hn::IsNaN(x), x, hn::Exp(dd, capped));
  return hn::DemoteTo(DF(), power);
}

// A colour value as a byte: rounded half up inside [0, 255], 0 below, 255 above or for a non-number.
HWY_INLINE hn::Vec<hn::Rebind<std::int32_t, DD>> ValueToByte(VF value) {
  const DD dd;
  const VD v = hn::PromoteTo(dd, value);
  const auto inside = hn::And(hn::Ge(v, hn::Zero(dd)), hn::Le(v, hn::Set(dd, 255.0)));
  const VD outside = hn::IfThenElse(hn::Lt(v, hn::Zero(dd)), hn::Zero(dd), hn::Set(dd, 255.0));
  const VD rounded = hn::Floor(hn::Add(v, hn::Set(dd, 0.5)));
  return hn::DemoteTo(hn::Rebind<std::int32_t, DD>(), hn::IfThenElse(inside, rounded, outside));
}

// One channel mapped from source onto target statistics, as MapLabChannelValue.
HWY_INLINE VF MapChannel(VF x, double sourceMean, double sourceSd, double targetMean, double targetSd) {
  const DD dd;
  if (!(sourceSd > 0.0) || !(targetSd > 0.0) || !std::isfinite(sourceSd) || !std::isfinite(targetSd)) {
    return hn::Set(DF(), static_cast<float>(targetMean));
  }
  const VD scaled =
      hn::Div(hn::Mul(hn::Sub(hn::PromoteTo(dd, x), hn::Set(dd, sourceMean)), hn::Set(dd, targetSd)),
              hn::Set(dd, sourceSd));
  return hn::DemoteTo(DF(), hn::Add(scaled, hn::Set(dd, targetMean)));
}

// The base-10 logarithm of a double-precision cone response, rounded to single precision.
HWY_INLINE VF LogResponse(VD response) { return hn::DemoteTo(DF(), hn::Log10(DD(), response)); }

// A linear combination of three double-precision values less one, added left to right and rounded to
// single precision.
HWY_INLINE VF Combine(double a, VD x, double b, VD y, double c, VD z) {
  const DD dd;
  const VD sum =
      hn::Add(hn::Add(hn::Mul(hn::Set(dd, a), x), hn::Mul(hn::Set(dd, b), y)), hn::Mul(hn::Set(dd, c), z));
  return hn::DemoteTo(DF(), hn::Sub(sum, hn::Set(dd, 1.0)));
}

void BytesToLabs(const std::uint8_t* pixels, std::size_t n, std::size_t blue, LabPixel* labs) {
  const DD dd;
  const DF df;
  const std::size_t lanes = hn::Lanes(dd);
  const std::size_t red = 2 - blue;
  // NOLINTBEGIN(*-avoid-c-arrays): one vector each
  HWY_ALIGN double channel[3][hn::MaxLanes(dd)] = {};
  HWY_ALIGN float lab[3][hn::MaxLanes(dd)] = {};
  // NOLINTEND(*-avoid-c-arrays)
  const double sqrt3 = std::sqrt(3.0);
  const double sqrt6 = std::sqrt(6.0);
  const double sqrt2 = std::sqrt(2.0);
  for (std::size_t x = 0; x < n; x += lanes) {
    const std::size_t m = std::min(lanes, n - x);
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint8_t* p = pixels + 3 * (x + i);
      channel[0][i] = static_cast<float>(p[red]) + 1.0f;
      channel[1][i] = static_cast<float>(p[1]) + 1.0f;
      channel[2][i] = static_cast<float>(p[blue]) + 1.0f;
    }
    const VD r = hn::Load(dd, channel[0]);
    const VD g = hn::Load(dd, channel[1]);
    const VD b = hn::Load(dd, channel[2]);
    const auto response = [&](double kr, double kg, double kb) {
      return hn::Add(hn::Add(hn::Mul(hn::Set(dd, kr), r), hn::Mul(hn::Set(dd, kg), g)),
                     hn::Mul(hn::Set(dd, kb), b));
    };
    const VF lL = LogResponse(response(0.3811, 0.5783, 0.0402));
    const VF lM = LogResponse(response(0.1967, 0.7244, 0.0782));
    const VF lS = LogResponse(response(0.0241, 0.1288, 0.8444));
    hn::Store(DivideRounded(hn::Add(hn::Add(lL, lM), lS), sqrt3), df, lab[0]);
    hn::Store(DivideRounded(hn::Sub(hn::Add(lL, lM), hn::Mul(hn::Set(df, 2.0f), lS)), sqrt6), df, lab[1]);
    hn::Store(DivideRounded(hn::Sub(lL, lM), sqrt2), df, lab[2]);
    for (std::size_t i = 0; i < m; ++i) labs[x + i] = {{lab[0][i], lab[1][i], lab[2][i]}, 0.0f};
  }
}

void LabsToBytes(const LabPixel* labs, std::size_t n, const LabStats& source, const LabStats& target,
                 std::size_t blue, std::uint8_t* out) {
  const DD dd;
  const DF df;
  const hn::Rebind<std::int32_t, DD> di;
  const std::size_t lanes = hn::Lanes(dd);
  const std::size_t red = 2 - blue;
  // NOLINTBEGIN(*-avoid-c-arrays): one vector each
  HWY_ALIGN float lab[3][hn::MaxLanes(dd)] = {};
  HWY_ALIGN std::int32_t bytes[3][hn::MaxLanes(dd)] = {};
  // NOLINTEND(*-avoid-c-arrays)
  const double sqrt3 = std::sqrt(3.0);
  const double sqrt6 = std::sqrt(6.0);
  const double sqrt2 = std::sqrt(2.0);
  for (std::size_t x = 0; x < n; x += lanes) {
    const std::size_t m = std::min(lanes, n - x);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t c = 0; c < 3; ++c) lab[c][i] = labs[x + i].lab[c];
    }
    std::array<VF, 3> mapped{};
    for (std::size_t c = 0; c < 3; ++c) {
      mapped[c] =
          MapChannel(hn::Load(df, lab[c]), source.mean[c], source.sd[c], target.mean[c], target.sd[c]);
    }
    const VF d = DivideRounded(mapped[0], sqrt3);
    const VF e = DivideRounded(mapped[1], sqrt6);
    const VF f = DivideRounded(mapped[2], sqrt2);
    const VD cl = hn::PromoteTo(dd, PowerOfTen(hn::Add(hn::Add(e, d), f)));
    const VD cm = hn::PromoteTo(dd, PowerOfTen(hn::Sub(hn::Add(e, d), f)));
    const VD cs = hn::PromoteTo(dd, PowerOfTen(hn::Sub(d, hn::Mul(hn::Set(df, 2.0f), e))));
    hn::Store(ValueToByte(Combine(0.0497, cl, -0.2439, cm, 1.2045, cs)), di, bytes[0]);
    hn::Store(ValueToByte(Combine(-1.2186, cl, 2.3809, cm, -0.1624, cs)), di, bytes[1]);
    hn::Store(ValueToByte(Combine(4.4679, cl, -3.5873, cm, 0.1193, cs)), di, bytes[2]);
    for (std::size_t i = 0; i < m; ++i) {
      std::uint8_t* p = out + 3 * (x + i);
      p[blue] = static_cast<std::uint8_t>(bytes[0][i]);
      p[1] = static_cast<std::uint8_t>(bytes[1][i]);
      p[red] = static_cast<std::uint8_t>(bytes[2][i]);
    }
  }
}

}  // namespace histonorm::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace histonorm {

HWY_EXPORT(BytesToLabs);
HWY_EXPORT(LabsToBytes);

void BytesToLabs(const std::uint8_t* pixels, std::size_t n, std::size_t blue, LabPixel* labs) {
  HWY_DYNAMIC_DISPATCH(BytesToLabs)(pixels, n, blue, labs);
}

void LabsToBytes(const LabPixel* labs, std::size_t n, const LabStats& source, const LabStats& target,
                 std::size_t blue, std::uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(LabsToBytes)(labs, n, source, target, blue, out);
}

}  // namespace histonorm
#endif  // HWY_ONCE
