#include "histonorm/method.h"

#include <stdexcept>
#include <string>

namespace histonorm {

std::optional<Method> ParseMethod(std::string_view name) {
  for (const Method method : kAllMethods) {
    if (MethodName(method) == name) return method;
  }
  return std::nullopt;
}

std::string_view MethodName(Method method) {
  switch (method) {
    case Method::kReinhard:
      return "Reinhard";
    case Method::kBimodalDeconvRVM:
      return "BimodalDeconvRVM";
    case Method::kRGBHistSpec:
      return "RGBHistSpec";
    case Method::kRGBHistSpecThresh:
      return "RGBHistSpecThresh";
    case Method::kBimodalDeconvPCA:
      return "BimodalDeconvPCA";
    case Method::kMacenko:
      return "Macenko";
    case Method::kVahadane:
      return "Vahadane";
  }
  throw std::invalid_argument("no method with number " + std::to_string(static_cast<int>(method)));
}

}  // namespace histonorm
