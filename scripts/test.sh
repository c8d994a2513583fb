#!/usr/bin/env bash
# The test command: builds and installs quorvane into one virtual environment
# per leg and runs the whole test suite in each.
#
#   ft   free-threaded CPython >= 3.13 (scripts/python-ft.sh), latest NumPy 2.x;
#        the suite runs twice: as imported (the module turns the GIL on) and
#        with PYTHON_GIL=0
#   gil  CPython 3.12 with the global lock (scripts/python-gil.sh), NumPy 1.26
#
# Usage: scripts/test.sh [pytest args...]     e.g. scripts/test.sh -k sma
# Environment:
#   QUORVANE_LEGS        legs to run, space- or comma-separated (default "ft gil")
#   QUORVANE_PYTHON_FT   free-threaded interpreter to use instead of the search
#   QUORVANE_PYTHON_GIL  interpreter with the global lock to use instead of the search
#
# Every leg runs even when an earlier one fails; the exit status is non-zero
# when any leg failed to build, install or pass, or collected no tests.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_ROOT_USER_ACTION=ignore
export PIP_PROGRESS_BAR=off

legs=${QUORVANE_LEGS:-ft gil}
legs=${legs//,/ }

# Paths among the pytest arguments are taken relative to the caller's
# directory; pytest itself runs elsewhere, so they are made absolute.
pytest_args=()
has_path=0
for arg in "$@"; do
    path=${arg%%::*}
    if [[ $arg != -* && -e $path ]]; then
        abs=$(cd "$(dirname "$path")" && pwd)/$(basename "$path")
        pytest_args+=("$abs${arg:${#path}}")
        has_path=1
    else
        pytest_args+=("$arg")
    fi
done
if ((!has_path)); then
    pytest_args+=("$repo/tests")
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

header() {
    printf '\n==================== leg %s: %s ====================\n' "$1" "$2"
}
step() { printf -- '--- %s\n' "$*"; }

# Runs a command with its output in a log; shows the log's tail on failure.
quietly() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "failed: $*"
        tail -n 150 "$log"
        return 1
    fi
}

# run_leg NAME -> 0 when the leg passed. Writes the junit reports to
# $scratch/NAME.xml (and $scratch/NAME-nogil.xml) when pytest ran.
run_leg() {
    local leg=$1 finder numpy_spec title mypy_spec='mypy>=1.18,<1.19'
    case $leg in
        ft)  finder=python-ft.sh;  numpy_spec='numpy>=2,<3';  title='free-threaded CPython, NumPy 2.x' ;;
        gil) finder=python-gil.sh; numpy_spec='numpy==1.26.*'; title='CPython with the GIL, NumPy 1.26' ;;
        *)   echo "unknown leg '$leg' (known: ft gil)"; return 1 ;;
    esac
    header "$leg" "$title"

    local base
    if ! base=$(bash "$repo/scripts/$finder"); then
        echo "no interpreter for leg $leg"
        return 1
    fi
    step "interpreter: $base ($("$base" -c 'import sys; print(sys.version.split()[0])'))"

    local venv=$repo/.venvs/$leg
    local py=$venv/bin/python
    local stamp=$venv/.quorvane-base
    if ! [[ -x $py && -f $stamp && $(cat "$stamp") == "$base" ]] \
            || ! "$py" -c 'import pip' >/dev/null 2>&1; then
        step "creating $venv"
        rm -rf "$venv"
        "$base" -m venv "$venv" || return 1
        quietly "$scratch/$leg-pip.log" "$py" -m pip install -q --upgrade pip || return 1
        printf '%s\n' "$base" >"$stamp"
    fi

    # Wheels only: a dependency without a wheel for this interpreter fails at
    # once instead of trying a source build. mypy 1.19 and later need librt
    # and ast-serialize, which publish no free-threaded wheels.
    step "installing $numpy_spec, pytest, $mypy_spec"
    quietly "$scratch/$leg-deps.log" "$py" -m pip install -q --upgrade --only-binary=:all: \
        "$numpy_spec" pytest "$mypy_spec" || return 1

    step "building and installing quorvane"
    local build_log=$venv/build.log
    if ! "$py" -m pip install -v --no-deps --force-reinstall "$repo" >"$build_log" 2>&1; then
        echo "build or install failed (full log: $build_log):"
        tail -n 150 "$build_log"
        return 1
    fi
    quietly "$scratch/$leg-check.log" "$py" -m pip check || return 1

    # The tests must import the installed module, not anything in the tree.
    local where
    if ! where=$(cd "$scratch" && "$py" -W ignore -c \
            'import quorvane, sys; print(quorvane.__file__)'); then
        echo "the installed module does not import"
        return 1
    fi
    case $where in
        "$venv"/*) step "module: $where" ;;
        *) echo "imported quorvane from $where, not from $venv"; return 1 ;;
    esac
    step "$("$py" -c 'import numpy; print("numpy", numpy.__version__)')"

    step "pytest"
    run_pytest "$leg" "$py" "$leg" || return 1
    if [[ $leg == ft ]]; then
        # Importing the module turns the GIL on unless PYTHON_GIL=0 keeps it
        # off: the free-threaded build runs every test both ways.
        step "pytest with PYTHON_GIL=0"
        PYTHON_GIL=0 run_pytest "$leg" "$py" "$leg-nogil" || return 1
    fi
}

# run_pytest LEG PYTHON REPORT -> 0 when pytest ran tests and all passed.
run_pytest() {
    local leg=$1 py=$2 report=$3 rc=0
    (cd "$scratch" && "$py" -m pytest -ra --junitxml="$scratch/$report.xml" \
        "${pytest_args[@]}") || rc=$?
    case $rc in
        0) return 0 ;;
        5) echo "leg $leg: no tests were collected"; return 1 ;;
        *) return 1 ;;
    esac
}

# Sums the junit reports: "passed failed skipped".
count_results() {
    local py="" candidate
    for candidate in "$repo"/.venvs/*/bin/python; do
        [[ -x $candidate ]] && py=$candidate
    done
    [[ -n $py ]] || py=$(command -v python3) || { echo "0 0 0"; return; }
    "$py" - "$@" <<'EOF'
import sys
import xml.etree.ElementTree as ET
passed = failed = skipped = 0
for path in sys.argv[1:]:
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        continue
    for suite in root.iter("testsuite"):
        tests = int(suite.get("tests", 0))
        bad = int(suite.get("failures", 0)) + int(suite.get("errors", 0))
        skip = int(suite.get("skipped", 0))
        passed += tests - bad - skip
        failed += bad
        skipped += skip
print(passed, failed, skipped)
EOF
}

status=0
summary=()
reports=()
for leg in $legs; do
    if run_leg "$leg"; then
        summary+=("leg $leg: passed")
    else
        summary+=("leg $leg: FAILED")
        status=1
    fi
    for report in "$scratch/$leg.xml" "$scratch/$leg-nogil.xml"; do
        [[ -f $report ]] && reports+=("$report")
    done
done

printf '\n==================== summary ====================\n'
printf '%s\n' "${summary[@]}"
read -r passed failed skipped < <(count_results "${reports[@]}")
printf 'total: %d passed, %d failed, %d skipped\n' "$passed" "$failed" "$skipped"
exit "$status"
