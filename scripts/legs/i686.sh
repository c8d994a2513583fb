#!/usr/bin/env bash
# Special leg: the module's stated target, free-threaded CPython 3.13 on
# 32-bit x86 Linux with musl, NumPy 2.x. This machine runs i386 programs, so
# the target's interpreter runs here natively with its own C library.
#
#   bash scripts/legs/i686.sh SCRATCH [pytest args...]
#
# scripts/i686/setup.sh builds the interpreter, NumPy and the toolchain into
# ${XDG_CACHE_HOME:-$HOME/.cache}/quorvane/i686-musl once (see
# scripts/i686/common.sh); then the module is built as a user would:
# `pip install .` with the target's interpreter, CMake through
# scikit-build-core and zig's clang for x86-linux-musl as the compiler. The
# suite runs twice, as imported and with PYTHON_GIL=0. Wheels come from the
# cache only (the target's interpreter has no ssl).
set -uo pipefail

scratch=$1
shift
pytest_args=("$@")
repo=${QUORVANE_REPO:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
logs=${QUORVANE_LOGS:-$repo/.venvs/logs}
mkdir -p "$logs"
# shellcheck source=../leg-lib.sh
. "$repo/scripts/leg-lib.sh"

leg=i686
t0=$SECONDS
step() { printf -- '--- [%4ds] %s\n' $((SECONDS - t0)) "$*"; }

step "setting up the target (scripts/i686/setup.sh; the first run builds it)"
if ! bash "$repo/scripts/i686/setup.sh" >"$logs/$leg-setup.out" 2>"$logs/$leg-setup.log"; then
    echo "the target's set-up failed:"
    explain_failure "$logs/$leg-setup.log"
    exit 1
fi
# shellcheck source=../i686/common.sh
. "$repo/scripts/i686/common.sh"
base=$I686_PYTHON
version=$("$base" -c 'import sys; print(sys.version.split()[0])') \
    || { echo "$base does not run"; exit 1; }
step "interpreter: $base (CPython $version free-threaded, i686 musl)"

venv=$repo/.venvs/$leg
py=$venv/bin/python
stamp=$venv/.quorvane-base
want_stamp="$base $(cat "$I686_CACHE/stamps/python")"
if ! [[ -x $py && -f $stamp && $(cat "$stamp") == "$want_stamp" ]]; then
    step "creating $venv"
    rm -rf "$venv"
    quietly "$logs/$leg-venv.log" "$base" -m venv "$venv" || exit 1
    printf '%s\n' "$want_stamp" >"$stamp"
fi

pip_local=(-m pip install -q --no-index --find-links "$I686_WHEELS")
step "installing NumPy $NUMPY_VERSION and tests/requirements.txt (from the cache)"
if ! quietly "$logs/$leg-deps.log" "$py" "${pip_local[@]}" --upgrade \
        "numpy==$NUMPY_VERSION" -r "$repo/tests/requirements.txt"; then
    echo "(a test requirement without a wheel in the cache: add it to TARGET_WHEELS in scripts/i686/common.sh)"
    exit 1
fi
step "tests/requirements-optional.txt: not installed (no wheels for i686 musl; their tests skip)"

step "building and installing quorvane with zig for x86-linux-musl (warnings are errors)"
build_log=$logs/$leg-build.log
if ! env CC="$I686_CC" CXX="$I686_CXX" "$py" -m pip install -v --no-index \
        --find-links "$I686_WHEELS" --no-deps --force-reinstall "$repo" >"$build_log" 2>&1; then
    echo "build or install failed:"
    explain_failure "$build_log"
    exit 1
fi
if ! grep -q 'quorvane: warnings are errors' "$build_log"; then
    echo "the build did not turn warnings into errors (QUORVANE_WERROR=ON was lost):"
    explain_failure "$build_log"
    exit 1
fi
quietly "$logs/$leg-check.log" "$py" -m pip check || exit 1

# The tests must import the installed module, not anything in the tree.
if ! where=$(cd "$scratch" && "$py" -W ignore -c \
        'import quorvane; print(quorvane.__file__)' 2>"$logs/$leg-import.log"); then
    echo "the installed module does not import:"
    explain_failure "$logs/$leg-import.log"
    exit 1
fi
case $where in
    "$venv"/*) step "module: $where" ;;
    *) echo "imported quorvane from $where, not from $venv"; exit 1 ;;
esac
exports=$(nm -D --defined-only "$where" | awk '{print $NF}')
if [[ $exports != PyInit_quorvane ]]; then
    echo "the module exports more than PyInit_quorvane:" $exports
    exit 1
fi
numpy_version=$(cd "$scratch" && "$py" -c 'import numpy; print(numpy.__version__)')
step "NumPy $numpy_version"
printf 'CPython %s free-threaded, i686 musl, NumPy %s\n' "$version" "$numpy_version" \
    >"$scratch/$leg.about"

# Helpers the tests compile are built for the target too.
export QUORVANE_TEST_CXX=$I686_CXX

run_pytest() {
    local report=$1 rc=0
    (cd "$scratch" && "$py" -m pytest -ra --junitxml="$scratch/$report.xml" \
        "${pytest_args[@]}") || rc=$?
    case $rc in
        0) return 0 ;;
        5) echo "leg $leg: no tests were collected"; return 1 ;;
        *) return 1 ;;
    esac
}

status=0
step "pytest"
run_pytest "$leg" || status=1
# Importing the module turns the GIL on unless PYTHON_GIL=0 keeps it off.
step "pytest with PYTHON_GIL=0"
PYTHON_GIL=0 run_pytest "$leg-nogil" || status=1
exit $status
