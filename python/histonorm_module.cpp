// The Python module histonorm: colour normalisation of RGB numpy images.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>

#include "normaliser.h"
#include "result_check.h"

namespace py = pybind11;

namespace histonorm::python {

namespace {

constexpr const char* kModuleDoc = R"(Colour normalisation of stained tissue images.

    import histonorm
    norm = histonorm.Normaliser("Reinhard")
    norm.fit(target)                  # (H, W, 3) uint8 RGB array, or a list of them
    result = norm.transform(tile)     # a new (H, W, 3) uint8 RGB array
    slide = norm.fit_source(thumbnail)  # measured once ...
    result = slide(tile)              # ... applied to every tile of the slide
    histonorm.check(tile, result, target)["passed"]  # False for a wrong-looking result

Images are uint8 RGB arrays of shape (H, W, 3), or batches (N, H, W, 3), with any strides: numpy
arrays, PIL images, torch tensors (through DLPack; channels_first=True for (3, H, W)).
)";

constexpr const char* kClassDoc = R"(A normaliser of one method, fitted to a target.

method: one of methods().
model: the colour model file; required by "BimodalDeconvRVM", ignored by the other methods.
threads: worker threads per call (0 = all cores). Results do not depend on it.
log: None (lines are dropped), a callable taking one str per line, or a file-like object
    whose write() gets each line followed by "\n". The lines of a call are handed over when
    it returns.

fit and transform release the GIL. One Normaliser may be used from several threads at once:
transform calls run side by side on the fitted target, and fit, partial_fit and load_target
swap a new target in when it is complete. For many tiles of one source, fit a Transform once
(fit_source); processes may each have their own Normaliser (it pickles; the log target is not
pickled).
)";

// pybind11 hands the exception over by value.
void TranslateLibraryErrors(std::exception_ptr error) {  // NOLINT(performance-unnecessary-value-param)
  try {
    if (error) std::rethrow_exception(error);
  } catch (const ModelLoadError& e) {
    PyErr_SetString(PyExc_OSError, (std::string("cannot use the colour model: ") + e.what()).c_str());
  } catch (const TargetFileError& e) {
    PyErr_SetString(PyExc_ValueError, (std::string("bad target: ") + e.what()).c_str());
  }
}

py::tuple Pickle(const Normaliser& normaliser) { return StateToTuple(normaliser.State()); }

std::unique_ptr<Normaliser> Unpickle(const py::tuple& saved) {
  return Normaliser::FromState(StateFromTuple(saved));
}

constexpr const char* kTransformDoc = R"(A normalisation measured once on a source and applied to any tile.

Made by Normaliser.fit_source(image_or_images). Each output pixel depends only on the input
pixel's colour, so the tiles of one slide transformed with one Transform fit together without
seams, and fit_source(image)(image) equals transform(image). Calls release the GIL and run
concurrently from any number of threads. It pickles (the normaliser's settings and target and the
source pixels, from which the same transform is measured again).
)";

void BindTransform(py::module_& module) {
  const auto apply = [](const SourceTransform& self, const py::handle& image, bool channelsFirst) {
    return self.Apply(image, channelsFirst);
  };
  py::class_<SourceTransform>(module, "Transform", kTransformDoc)
      .def("__call__", apply, py::arg("image"), py::kw_only(), py::arg("channels_first") = false,
           "Returns the transformed image (or batch): a new C-contiguous uint8 RGB array, channels last.")
      .def("transform", apply, py::arg("image"), py::kw_only(), py::arg("channels_first") = false,
           "The same as calling the transform.")
      .def_property_readonly("method", &SourceTransform::MethodName, "The method's name.")
      .def(py::pickle([](const SourceTransform& self) { return self.State(); }, &SourceTransform::FromState));
}

void BindNormaliser(py::module_& module) {
  py::class_<Normaliser>(module, "Normaliser", kClassDoc)
      .def(py::init([](const std::string& method, const std::optional<std::filesystem::path>& model,
                       unsigned threads, const py::object& log,
                       const std::optional<std::filesystem::path>& params) {
             return std::make_unique<Normaliser>(
                 method, model ? std::optional(model->string()) : std::nullopt, threads, log,
                 params ? std::optional(ReadParamsFile(params->string())) : std::nullopt);
           }),
           py::arg("method"), py::arg("model") = py::none(), py::arg("threads") = 0U,
           py::arg("log") = py::none(), py::arg("params") = py::none())
      .def("fit", &Normaliser::Fit, py::arg("images"), py::kw_only(), py::arg("channels_first") = false,
           "Replaces the target with one image, a batch, or each image of a list (several images\n"
           "give their mean, as the command line's list does). Returns None.")
      .def("partial_fit", &Normaliser::PartialFit, py::arg("images"), py::kw_only(),
           py::arg("channels_first") = false,
           "Adds the images to the target: fit(a); partial_fit(b) is fit([a, b]). Returns None.")
      .def("transform", &Normaliser::Transform, py::arg("image"), py::kw_only(),
           py::arg("channels_first") = false,
           "Returns the normalised image (each image of a batch on its own): a new C-contiguous\n"
           "uint8 RGB array, channels last. Raises RuntimeError before fit (or load_target).")
      .def("fit_source", &Normaliser::FitSource, py::arg("images"), py::kw_only(),
           py::arg("channels_first") = false,
           "Measures the source once (one image, a batch or a list, taken as one image of all their\n"
           "pixels) and returns the Transform that applies it to any tile.")
      .def(
          "save_target",
          [](const Normaliser& self, const std::filesystem::path& path) {
            self.SaveTargetFile(path.string());
          },
          py::arg("path"), "Writes the fitted target to `path` as the JSON target file of the command line.")
      .def(
          "load_target",
          [](Normaliser& self, const std::filesystem::path& path) { self.LoadTargetFile(path.string()); },
          py::arg("path"),
          "Replaces the target with one saved by save_target or the command line's --save-target.")
      .def_property_readonly("method", &Normaliser::MethodName, "The method's name.")
      .def_property_readonly("model", &Normaliser::Model, "The colour model path, or None.")
      .def_property_readonly("threads", &Normaliser::Threads, "Worker threads per call (0 = all cores).")
      .def_property_readonly("params", &Normaliser::ParamsPath, "The stain thresholds file, or None.")
      .def_property_readonly("fitted", &Normaliser::Fitted, "True once transform can be called.")
      .def_property_readonly("log", &Normaliser::Log, "Where the log lines go (None: nowhere).")
      .def(py::pickle(&Pickle, &Unpickle));
}

}  // namespace

}  // namespace histonorm::python

PYBIND11_MODULE(histonorm, module) {
  using namespace histonorm::python;
  module.doc() = kModuleDoc;
  py::register_exception_translator(&TranslateLibraryErrors);
  module.def("methods", &MethodNames, "The names of the normalisation methods.");
  module.attr("__version__") = HISTONORM_VERSION;
  BindNormaliser(module);
  BindTransform(module);
  BindCheck(module);
}
