#!/usr/bin/env bash
# Compiles the module's sources (syntax and warnings only, nothing linked)
# against the headers of the interpreter "$1" as if it were its free-threaded
# build: the headers with Py_GIL_DISABLED defined. No free-threaded 3.14 or
# 3.15 can be had here; this keeps the code that only such builds compile
# (the GIL declaration, the object header's other layout) building on their
# headers. Run from the repository root, where the interpreter lives (for a
# chroot leg, inside the root).
set -euo pipefail

python=$1
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
# The project's flags (cxx-flags.txt) that bear on what compiles and warns.
read -ra flags <<<"$(sed -n 's/^\(language\|warnings\|werror\|floating-point\): *//p' cxx-flags.txt | tr '\n' ' ')"
status=0
for source in bindings/*.cpp; do
    g++ "${flags[@]}" -fsyntax-only -DPy_GIL_DISABLED=1 \
        -I"$include" -Ibindings -Iquorvane-core/include "$source" || status=1
done
exit "$status"
