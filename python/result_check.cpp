#include "result_check.h"

#include <pybind11/stl.h>

#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

#include "histonorm/result_check.h"
#include "image_buffer.h"

namespace py = pybind11;

namespace histonorm::python {

namespace {

constexpr const char* kCheckDoc = R"(Checks that `result` is a sane normalisation of `source`.

source, result: (H, W, 3) uint8 RGB arrays of the same shape.
target: the target image, or a list of target images (their colours pooled, as a mean target).
Returns a dict: "passed", "failures" (phrases such as "glass darkened"), and the values: glass
share, L* and chroma before and after with their limits (when the source has enough glass), grey
SSIM, and the CIEDE2000 distances of the darkest and the bright tissue to the target's before and
after. The thresholds are those of the command line's --check.
)";

cv::Mat BgrCopy(const py::handle& image, const char* what) {
  const RgbImages images = CheckRgbImages(image, false, what);
  if (images.batch)
    throw std::invalid_argument(std::string(what) + " must be one (H, W, 3) image, not a batch");
  cv::Mat buffer;
  const cv::Mat rgb = RgbPixels(images.views.front(), buffer, 1);
  cv::Mat bgr;
  cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
  return bgr;
}

py::dict AsDict(const ResultCheck& c) {
  py::dict d;
  d["passed"] = c.Passed();
  d["failures"] = c.Failures();
  d["glass_checked"] = c.glassChecked;
  d["glass_share"] = c.glassShare;
  if (c.glassChecked) {
    d["glass_l_before"] = c.glassLightBefore;
    d["glass_l_after"] = c.glassLightAfter;
    d["glass_l_min"] = c.glassLightMin;
    d["glass_chroma_before"] = c.glassChromaBefore;
    d["glass_chroma_after"] = c.glassChromaAfter;
    d["glass_chroma_max"] = c.glassChromaMax;
  }
  d["ssim"] = c.ssim;
  d["tissue_checked"] = c.tissueChecked;
  if (c.tissueChecked) {
    d["dark_before"] = c.darkBefore;
    d["dark_after"] = c.darkAfter;
    d["bright_before"] = c.brightBefore;
    d["bright_after"] = c.brightAfter;
  }
  return d;
}

py::dict Check(const py::handle& source, const py::handle& result, const py::handle& target) {
  CheckTarget summary;
  if (py::isinstance<py::list>(target) || py::isinstance<py::tuple>(target)) {
    for (const py::handle image : target) summary.Add(BgrCopy(image, "target"));
  } else {
    summary.Add(BgrCopy(target, "target"));
  }
  const cv::Mat before = BgrCopy(source, "source");
  const cv::Mat after = BgrCopy(result, "result");
  ResultCheck check;
  {
    const py::gil_scoped_release unlocked;
    check = CheckResult(before, after, summary);
  }
  return AsDict(check);
}

}  // namespace

void BindCheck(py::module_& module) {
  module.def("check", &Check, py::arg("source"), py::arg("result"), py::arg("target"), kCheckDoc);
}

}  // namespace histonorm::python
