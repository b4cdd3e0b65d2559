// What every module's binding table needs: torch's tensor caster, the
// translation of torch's exception types into the matching Python ones, and
// the binding of a module table's functions with their argument tables.
#pragma once

#include <torch/csrc/utils/pybind.h>

#include <string>
#include <tuple>
#include <vector>

// pybind11 3 declares the modules single-interpreter (multi-phase
// initialisation); pybind11 2 has no such option.
#if PYBIND11_VERSION_MAJOR >= 3
#define VX_MODULE(name, m) PYBIND11_MODULE(name, m, pybind11::multiple_interpreters::not_supported())
#else
#define VX_MODULE(name, m) PYBIND11_MODULE(name, m)
#endif

#include "args.h"

namespace vx {

// A function whose first parameter is `bool gpu_checks`, with that fixed:
// the public modules bind Checked<true, &F>::call (CUDA tensors only), the
// CPU module Checked<false, &F>::call.
template <bool kGpuChecks, auto F>
struct Checked;
template <bool kGpuChecks, typename R, typename... A, R (*F)(bool, A...)>
struct Checked<kGpuChecks, F> {
  static R call(A... a) { return F(kGpuChecks, a...); }
};

// The Python annotation of a return type, for the type stub.
template <typename R>
struct Annotation;
template <>
struct Annotation<void> {
  static std::string text() { return "None"; }
};
template <>
struct Annotation<at::Tensor> {
  static std::string text() { return "Tensor"; }
};
template <typename... R>
struct Annotation<std::tuple<R...>> {
  static std::string text() {
    std::string s = "tuple[";
    ((s += Annotation<R>::text() + ", "), ...);
    return s.substr(0, s.size() - 2) + "]";
  }
};
template <typename R, typename... A>
std::string annotation(R (*)(A...)) {
  return Annotation<R>::text();
}

// A module under construction: imports torch, registers the exception
// translation, sets the docstring and binds functions (pybind11's generated
// signatures off: each docstring is the table's); exports the argument
// tables of the functions it binds as the read-only `_arguments`
// (name -> ((argument, role, rank, dtype), ...), role "w" written, "r" read,
// "h" read on the host, "u" unused, "int" / "bool" Python scalars; rank and
// dtype None when any is accepted) and `_returns` (name -> annotation).
class __attribute__((visibility("hidden"))) Module {
 public:
  Module(pybind11::module_& m, const char* doc, bool gpu_checks);

  // Binds one function of a module table (after bind_checked_only(): only
  // Checked ones, each name once).
  template <bool kChecked, auto F>
  void def(const char* name, const char* doc, std::initializer_list<ArgInfo> args) {
    if (only_checked_ && (!kChecked || pybind11::hasattr(m_, name))) return;
    if constexpr (kChecked) {
      if (gpu_checks_)
        m_.def(name, &Checked<true, F>::call, doc);
      else
        m_.def(name, &Checked<false, F>::call, doc);
      record(name, annotation(&Checked<true, F>::call), args);
    } else {
      m_.def(name, F, doc);
      record(name, annotation(F), args);
    }
  }
  void bind_checked_only() { only_checked_ = true; }

 private:
  void record(const char* name, const std::string& returns, std::initializer_list<ArgInfo> args);
  pybind11::module_& m_;
  pybind11::options options_;
  bool gpu_checks_;
  bool only_checked_ = false;
  pybind11::dict arguments_, returns_;
};

}  // namespace vx

#define VX_KIND_CHECKED_Plain false
#define VX_KIND_CHECKED_Checked true
// Binds one entry of a module table: MODULE_FUNCTIONS(VX_BIND) with a
// vx::Module named `mod` in scope.
#define VX_BIND(ns, NAME, KIND, RET, LIST, T, DOC) \
  mod.def<VX_KIND_CHECKED_##KIND, &ns::NAME>(#NAME, DOC, {VX_DESCRIBE(LIST, T)});
