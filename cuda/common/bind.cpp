// Shared module setup: torch import and exception translation.
#include "bind.h"

#include <c10/util/Exception.h>

#include <string>

#include "frame.h"

#include <c10/core/ScalarType.h>

namespace py = pybind11;

namespace vx {

namespace {

const char* role_name(Role r) {
  switch (r) {
    case Role::Out: return "w";
    case Role::In: return "r";
    case Role::Host: return "h";
    case Role::Unused: return "u";
    case Role::Int: return "int";
    case Role::Bool: return "bool";
  }
  return "?";
}

}  // namespace

void Module::record(const char* name, const std::string& returns,
                    std::initializer_list<ArgInfo> args) {
  py::list described;
  for (const ArgInfo& a : args) {
    const py::object rank = a.rank < 0 ? py::object(py::none()) : py::object(py::int_(a.rank));
    const py::object dtype =
        a.dtype == kAny ? py::object(py::none())
                        : py::object(py::str(std::string(c10::getDtypeNames(a.dtype).first)));
    described.append(py::make_tuple(a.name, role_name(a.role), rank, dtype));
  }
  arguments_[name] = py::tuple(described);
  returns_[name] = returns;
}

Module::Module(py::module_& m, const char* doc, bool gpu_checks) : m_(m), gpu_checks_(gpu_checks) {
  m.doc() = doc;
  options_.disable_function_signatures();
  // Live read-only views of the tables def() fills.
  const py::object proxy = py::module_::import("types").attr("MappingProxyType");
  m.attr("_arguments") = proxy(arguments_);
  m.attr("_returns") = proxy(returns_);
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
