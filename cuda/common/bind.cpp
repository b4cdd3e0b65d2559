// Shared module setup: torch import and exception translation.
#include "bind.h"

#include <c10/util/Exception.h>

#include <string>

#include "frame.h"

namespace py = pybind11;

namespace vx {

void prepare_module(py::module_& m) {
  py::module_::import("torch");
  // torch's errors reach Python as their Python counterparts, with the
  // message alone (no C++ backtrace).
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const c10::IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what_without_backtrace());
    } catch (const c10::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what_without_backtrace());
    } catch (const c10::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what_without_backtrace());
    } catch (const c10::NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what_without_backtrace());
    } catch (const c10::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what_without_backtrace());
    }
  });
  // Private: the CPU traversal of this module's kernels ("rows", "blocks",
  // "blocks-points"; "" only reads it), for benchmarks and tests.
  m.def("_cpu_traversal", [](const std::string& name) {
    static const char* names[] = {"rows", "blocks", "blocks-points"};
    const std::string previous = names[static_cast<int>(cpu_traversal())];
    if (!name.empty()) {
      int t = 0;
      while (t < 3 && name != names[t]) ++t;
      TORCH_CHECK_VALUE(t < 3, "_cpu_traversal: unknown traversal '", name,
                        "' (rows, blocks, blocks-points)");
      set_cpu_traversal(static_cast<Traversal>(t));
    }
    return previous;
  });
}

}  // namespace vx
