#pragma once
// histonorm.check: the checks of a normalised image, as a dict.
#include <pybind11/pybind11.h>

namespace histonorm::python {

void BindCheck(pybind11::module_& module);

}  // namespace histonorm::python
