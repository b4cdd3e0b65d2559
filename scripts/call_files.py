"""Counts the project files one Voxstep.Update_H call draws on: the units
whose code it runs (its wrapper, the module's binding, the argument and field
checks, the frame, and the units holding its kernel's host entry and GPU
kernel), with every project header they include, followed recursively
(#include "..." against the including file's folder, as g++ -MM lists a
project's own files; torch and system headers are not counted).

    python scripts/call_files.py [ROOT]    # ROOT: a checkout (default: this one)
"""
import os
import re
import sys

UNITS = ["cuda/Voxstep/update_h.cpp", "cuda/Voxstep/bindings.cpp", "cuda/common/args.cpp",
         "cuda/common/bind.cpp", "cuda/common/field_host.cpp", "cuda/common/frame.cpp"]
KERNEL_UNITS = [("cuda/common/curl_kernels.cpp", "cuda/common/curl_kernels.cu"),
                ("cuda/Voxstep/kernels.cpp", "cuda/Voxstep/kernels.cu")]  # the earlier place


def closure(root, units):
    seen = set()

    def visit(rel):
        rel = os.path.normpath(rel)
        if rel in seen:
            return
        seen.add(rel)
        with open(os.path.join(root, rel)) as f:
            for inc in re.findall(r'^\s*#\s*include\s+"([^"]+)"', f.read(), re.M):
                visit(os.path.join(os.path.dirname(rel), inc))

    for u in units:
        visit(u)
    return sorted(seen)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(
        os.path.abspath(__file__)))
    # The kernel's units: the first pair of KERNEL_UNITS the checkout has.
    kernel = next(k for k in KERNEL_UNITS if os.path.exists(os.path.join(root, k[0])))
    files = closure(root, UNITS + list(kernel))
    print(f"{len(files)} files")
    for f in files:
        print("  " + f)


if __name__ == "__main__":
    main()
