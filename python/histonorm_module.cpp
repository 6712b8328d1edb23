// The Python module histonorm: colour normalisation of RGB numpy images.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>

#include "normaliser.h"

namespace py = pybind11;

namespace histonorm::python {

namespace {

constexpr const char* kModuleDoc = R"(Colour normalisation of stained tissue images.

    import histonorm
    norm = histonorm.Normaliser("Reinhard")
    norm.fit(target)               # (H, W, 3) uint8 RGB array, or a list of them
    result = norm.transform(tile)  # a new (H, W, 3) uint8 RGB array

Images are numpy arrays of shape (H, W, 3) and dtype uint8 in RGB order, with any strides.
)";

constexpr const char* kClassDoc = R"(A normaliser of one method, fitted to a target.

method: one of methods().
model: the colour model file; required by "BimodalDeconvRVM", ignored by the other methods.
threads: worker threads per call (0 = all cores). Results do not depend on it.
log: None (lines are dropped), a callable taking one str per line, or a file-like object
    whose write() gets each line followed by "\n". The lines of a call are handed over when
    it returns.

fit and transform release the GIL. One Normaliser may be used from several threads at once:
the calls on it are serialised (the library's normaliser keeps per-image state), while the
conversion of the images runs concurrently. For parallel work on many tiles, use one
Normaliser per thread or process (it pickles; the log target is not pickled).
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

py::tuple Pickle(const Normaliser& normaliser) {
  const NormaliserState state = normaliser.State();
  return py::make_tuple(state.method, state.model, state.threads, state.target);
}

std::unique_ptr<Normaliser> Unpickle(const py::tuple& saved) {
  if (saved.size() != 4) throw std::invalid_argument("not a pickled histonorm.Normaliser");
  return Normaliser::FromState(
      NormaliserState{saved[0].cast<std::string>(), saved[1].cast<std::optional<std::string>>(),
                      saved[2].cast<unsigned>(), saved[3].cast<std::optional<std::string>>()});
}

void BindNormaliser(py::module_& module) {
  py::class_<Normaliser>(module, "Normaliser", kClassDoc)
      .def(py::init([](const std::string& method, const std::optional<std::filesystem::path>& model,
                       unsigned threads, const py::object& log) {
             return std::make_unique<Normaliser>(
                 method, model ? std::optional(model->string()) : std::nullopt, threads, log);
           }),
           py::arg("method"), py::arg("model") = py::none(), py::arg("threads") = 0U,
           py::arg("log") = py::none())
      .def("fit", &Normaliser::Fit, py::arg("images"),
           "Adds one image, or each image of a list, to the target statistics (several images give\n"
           "their mean, as the command line's list does). Returns None.")
      .def("transform", &Normaliser::Transform, py::arg("image"),
           "Returns the normalised image: a new C-contiguous (H, W, 3) uint8 RGB array.\n"
           "Raises RuntimeError before fit (or load_target).")
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
  BindNormaliser(module);
}
