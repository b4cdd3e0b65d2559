"""Counts the project files one Voxstep.Update_H call draws on: the units
whose code it runs -- the module's binding (which binds the shared
vx::Update_H<float> directly), the host layer's unit (argument checks,
frame, module setup), and the unit holding the call's wrapper and its
kernel's host entry together with the unit holding its GPU kernel -- with
every project header they include, followed recursively (#include "..."
against the including file's folder, as g++ -MM lists a project's own
files; torch and system headers are not counted).

    python scripts/call_files.py [ROOT]    # ROOT: a checkout (default: this one)

Earlier layouts are counted by their own lists (LAYOUTS, newest first; the
first whose files all exist is used), so the script also counts an older
checkout."""
import os
import re
import sys

LAYOUTS = [
    # The shared curl unit holds the wrapper and the CPU entry; host.cpp the
    # checks, frame and module setup.
    ["cuda/Voxstep/bindings.cpp", "cuda/common/host.cpp", "cuda/common/curl.cpp",
     "cuda/common/curl.cu"],
    # A wrapper per module; the host layer in four units.
    ["cuda/Voxstep/update_h.cpp", "cuda/Voxstep/bindings.cpp", "cuda/common/args.cpp",
     "cuda/common/bind.cpp", "cuda/common/field_host.cpp", "cuda/common/frame.cpp",
     "cuda/common/curl_kernels.cpp", "cuda/common/curl_kernels.cu"],
    ["cuda/Voxstep/update_h.cpp", "cuda/Voxstep/bindings.cpp", "cuda/common/args.cpp",
     "cuda/common/bind.cpp", "cuda/common/field_host.cpp", "cuda/common/frame.cpp",
     "cuda/Voxstep/kernels.cpp", "cuda/Voxstep/kernels.cu"],
]


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
    units = next(u for u in LAYOUTS if all(os.path.exists(os.path.join(root, f)) for f in u))
    files = closure(root, units)
    print(f"{len(files)} files")
    for f in files:
        print("  " + f)


if __name__ == "__main__":
    main()
