// Shared module setup: torch import and exception translation.
#include "bind.h"

#include <c10/util/Exception.h>

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
  (void)m;
}

}  // namespace vx
