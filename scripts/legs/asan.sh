#!/usr/bin/env bash
# Special leg "asan": the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option QUORVANE_SANITIZE: every report is
# fatal, frame pointers kept) and the whole suite run under it on a CPython
# with the global lock (scripts/python-gil.sh), with NumPy 1.26 on 3.12.
#
#   bash scripts/legs/asan.sh SCRATCH [pytest args...]
#
# Run by scripts/test.sh (see the contract for special legs at its top);
# standalone too: bash scripts/legs/asan.sh "$(mktemp -d)" tests/test_arrays.py
# Its venv is .venvs/asan. A sanitizer report ends the process that made it
# with exit status 86: pytest itself (the leg fails, the report is in the
# output) or a test's subprocess (that test fails, the report is in its
# assertion message).
set -uo pipefail

repo=${QUORVANE_REPO:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
# shellcheck source=../leg-lib.sh
. "$repo/scripts/leg-lib.sh"

if (($# < 1)); then
    echo "usage: scripts/legs/asan.sh SCRATCH [pytest args...]" >&2
    exit 2
fi
scratch=$1
shift
# Paths among the pytest arguments are the caller's; pytest runs in SCRATCH.
pytest_args=()
has_path=0
for arg in "$@"; do
    path=${arg%%::*}
    if [[ $arg != -* && -e $path ]]; then
        pytest_args+=("$(cd "$(dirname "$path")" && pwd)/$(basename "$path")${arg:${#path}}")
        has_path=1
    else
        pytest_args+=("$arg")
    fi
done
((has_path)) || pytest_args+=("$repo/tests")
logs=${QUORVANE_LOGS:-$repo/.venvs/logs}
mkdir -p "$logs"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_ROOT_USER_ACTION=ignore
export PIP_PROGRESS_BAR=off

t0=$SECONDS
step() { printf -- '--- [%4ds] %s\n' $((SECONDS - t0)) "$*"; }
fail() { printf 'leg asan: %s\n' "$*"; exit 1; }

# The ASan runtime of the compiler that builds the module: it must be the
# first library of the process, ahead of the interpreter's own malloc users.
cxx=${CXX:-g++}
runtime=$("$cxx" -print-file-name=libasan.so 2>/dev/null) || runtime=""
[[ $runtime == /* && -e $runtime ]] \
    || fail "$cxx has no ASan runtime (libasan.so); install the compiler's libasan"
runtime=$(readlink -f "$runtime")
step "sanitizer runtime: $runtime"

base=$(bash "$repo/scripts/python-gil.sh") || fail "no CPython with the global lock (scripts/python-gil.sh)"
version=$("$base" -c 'import sys; print(sys.version.split()[0])') || fail "$base does not run"
step "interpreter: $base (CPython $version)"
case $version in
    3.12.*) numpy_req='numpy==1.26.*' ;;
    *) numpy_req='numpy>=2,<3' ;;
esac

venv=$repo/.venvs/asan
py=$venv/bin/python
stamp=$venv/.quorvane-base
if ! [[ -x $py && -f $stamp && $(cat "$stamp") == "$base" ]] \
        || ! "$py" -c 'import pip' >/dev/null 2>&1; then
    step "creating $venv"
    rm -rf "$venv"
    quietly "$logs/asan-venv.log" "$base" -m venv "$venv" || exit 1
    quietly "$logs/asan-pip.log" "$py" -m pip install -q --upgrade pip || exit 1
    printf '%s\n' "$base" >"$stamp"
fi

step "installing $numpy_req and tests/requirements.txt"
printf '%s\n' "$numpy_req" >"$scratch/asan-constraints.txt"
quietly "$logs/asan-deps.log" "$py" -m pip install -q --upgrade --only-binary=:all: \
    "$numpy_req" -r "$repo/tests/requirements.txt" || exit 1
# Of the optional test dependencies only rustworkx, a peer of the borrow
# registry: the others serve the demo and the Dask job, which run no module
# code that the rest of the suite does not, and would multiply the leg's time
# under the sanitizers. Their tests skip here and say why.
if grep -qx 'rustworkx' "$repo/tests/requirements-optional.txt" 2>/dev/null; then
    "$py" -m pip install -q --only-binary=:all: -c "$scratch/asan-constraints.txt" rustworkx \
        >"$logs/asan-optional.log" 2>&1 || step "rustworkx not installed (its tests skip)"
fi

# Debug information and no stripping, so that reports name files and lines.
werror=""
[[ ${SKBUILD_CMAKE_DEFINE:-} == *QUORVANE_WERROR=ON* ]] && werror=" (warnings are errors)"
step "building and installing quorvane with -fsanitize=address,undefined$werror"
build_log=$logs/asan-build.log
if ! SKBUILD_CMAKE_DEFINE="${SKBUILD_CMAKE_DEFINE:+$SKBUILD_CMAKE_DEFINE;}QUORVANE_SANITIZE=ON" \
        "$py" -m pip install -v --no-deps --force-reinstall \
        -C cmake.build-type=RelWithDebInfo -C install.strip=false "$repo" >"$build_log" 2>&1; then
    echo "build or install failed:"
    explain_failure "$build_log"
    exit 1
fi
if [[ -n $werror ]] && ! grep -q 'quorvane: warnings are errors' "$build_log"; then
    echo "the build did not turn warnings into errors (QUORVANE_WERROR=ON was lost):"
    explain_failure "$build_log"
    exit 1
fi

# The tests must import the installed, instrumented module.
sanitized() {
    "$py" - <<'EOF'
import glob, os, sys, sysconfig
# Found on disk, not imported: the module needs the sanitizer runtime loaded first.
path, = glob.glob(os.path.join(sysconfig.get_paths()["platlib"], "quorvane.*.so"))
data = open(path, "rb").read()
print(path)
sys.exit(0 if b"__asan_init" in data and b"__ubsan_handle_" in data else 1)
EOF
}
where=$(cd "$scratch" && sanitized 2>"$logs/asan-import.log") \
    || fail "the installed module ($where) is not built with the sanitizers"
case $where in
    "$venv"/*) step "module: $where" ;;
    *) fail "the tests would import quorvane from $where, not from $venv" ;;
esac
numpy_version=$("$py" -c 'import numpy; print(numpy.__version__)')
compiler=$("$cxx" -dumpfullversion 2>/dev/null || "$cxx" -dumpversion)
printf 'CPython %s, NumPy %s, AddressSanitizer + UndefinedBehaviorSanitizer (%s %s)\n' \
    "$version" "$numpy_version" "$(basename "$cxx")" "$compiler" >"$scratch/asan.about"
step "NumPy $numpy_version"

# Every process of the run, the tests' subprocesses included, preloads the
# runtime (the module links libubsan itself). A report ends the process with
# status 86, which no test mistakes for the SIGABRT of a deliberate internal
# fault. Leaks are not checked: CPython does not free everything at exit
# (static types, interned strings, module state), so every process would
# report; the module's own leaks are measured by the benchmarks' counting run.
# Python objects come from malloc, so ASan sees their use after free too.
# pytest captures the tests' output at the Python level only (--capture=sys):
# with fd-level capture a report that ends pytest itself would be lost with
# the capture file.
export LD_PRELOAD=$runtime${LD_PRELOAD:+:$LD_PRELOAD}
export ASAN_OPTIONS=detect_leaks=0:exitcode=86:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86
export PYTHONMALLOC=malloc

step "pytest under the sanitizers"
rc=0
(cd "$scratch" && "$py" -m pytest -ra --capture=sys -p no:cacheprovider \
    --junitxml="$scratch/asan.xml" "${pytest_args[@]}") || rc=$?
case $rc in
    0) exit 0 ;;
    5) echo "leg asan: no tests were collected"; exit 1 ;;
    86) echo "leg asan: a sanitizer report ended pytest (above)"; exit 1 ;;
    *) exit 1 ;;
esac
