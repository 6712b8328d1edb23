#pragma once
// The seven normalisation methods and their names on the command line.
//
//   const std::optional<histonorm::Method> method = histonorm::ParseMethod("Reinhard");
//   if (method) std::cout << histonorm::MethodName(*method);  // "Reinhard"
#include <array>
#include <optional>
#include <string_view>

namespace histonorm {

enum class Method {
  kReinhard,           // "Reinhard": mean and deviation matching in a decorrelated colour space
  kBimodalDeconvRVM,   // "BimodalDeconvRVM": stain channel remapping; needs a colour model
  kRGBHistSpec,        // "RGBHistSpec": blue, green and red histogram matching
  kRGBHistSpecThresh,  // "RGBHistSpecThresh": the same, counting only which levels occur
  kBimodalDeconvPCA,   // "BimodalDeconvPCA": the stain method's remapping with stains from the image itself
  kMacenko,            // "Macenko": stain concentrations scaled, directions from the principal plane
  kVahadane,           // "Vahadane": the same, directions by sparse non-negative factorisation
};

inline constexpr std::array<Method, 7> kAllMethods = {
    Method::kReinhard,         Method::kBimodalDeconvRVM, Method::kRGBHistSpec, Method::kRGBHistSpecThresh,
    Method::kBimodalDeconvPCA, Method::kMacenko,          Method::kVahadane};

// ensures: the method whose name is exactly `name` (case-sensitive), or nothing.
[[nodiscard]] std::optional<Method> ParseMethod(std::string_view name);

// ensures: the name ParseMethod accepts for `method`.
// throws: std::invalid_argument for a value outside the enumeration.
[[nodiscard]] std::string_view MethodName(Method method);

}  // namespace histonorm
