#!/usr/bin/env bash
# The test command: builds quorvane on every leg (an interpreter with a
# NumPy) and runs the whole test suite there; legs that share nothing run
# side by side.
#
# Usage: scripts/test.sh [pytest args...]        e.g. scripts/test.sh -k sma
# Environment:
#   QUORVANE_LEGS   legs to run, space- or comma-separated (default:
#                   DEFAULT_LEGS below; "ft" and "gil" are old names of
#                   cp313t and cp312)
#   QUORVANE_JOBS   how many legs run at once (default: cores, at most 2)
#   QUORVANE_PYTHON_FT, QUORVANE_PYTHON_GIL   interpreters to use instead of
#                   the search (see scripts/python-ft.sh, scripts/python-gil.sh)
#
# Every leg runs even when another fails. The exit status is non-zero when
# any leg failed to build, install or pass, or collected no tests. Each leg's
# output is kept in .venvs/logs/LEG.log and shown when the leg ends; then one
# line per leg and the total. A leg that failed outside its tests (no
# interpreter, a failed build) counts as one failure in the total.
#
# Generic legs
# ------------
# A row of LEG_TABLE below: name, finder, numpy, runner, nogil, optional,
# ftcheck.
#   name      the leg's venv is .venvs/NAME, its junit reports NAME*.xml
#   finder    a script in scripts/ and its arguments (no spaces in them). With
#             runner "plain" it prints the interpreter's path; with "chroot"
#             the root directory, then the interpreter's path inside it.
#   numpy     the NumPy requirement (wheels only, kept by a constraint while
#             the other packages are installed)
#   runner    plain: run the interpreter as it is;
#             chroot: through scripts/chroot-run.sh, with the repository and
#             the scratch directory mounted at the same paths inside
#   nogil     yes: pytest runs a second time with PYTHON_GIL=0
#   optional  yes: tests/requirements-optional.txt is installed too, each
#             package on its own, wheels only, best effort (the tests that
#             need a missing one skip and say why)
#   ftcheck   yes: the sources are also compiled (syntax and warnings only)
#             against this interpreter's headers with Py_GIL_DISABLED, for
#             the free-threaded build of the same version that is not here
#             (scripts/ft-compile-check.sh)
# Every leg installs tests/requirements.txt (wheels only; failing fails the
# leg), builds the module with warnings as errors and checks that the tests
# import the installed module, not the tree.
#
# Special legs
# ------------
# A leg that needs its own build (a sanitizer, another architecture) is a
# script scripts/legs/NAME.sh. The test command runs it, from the repository
# root, as
#     bash scripts/legs/NAME.sh SCRATCH [pytest args...]
# where SCRATCH is a directory shared by this run's legs and the pytest args
# are the caller's, paths made absolute, ending with the tests directory
# when the caller named none. Exported: QUORVANE_REPO (the repository),
# QUORVANE_LOGS (a directory for logs that outlive the run) and
# SKBUILD_CMAKE_DEFINE (holds QUORVANE_WERROR=ON: keep it, append with ';').
# scripts/leg-lib.sh has explain_failure, quietly and count_reports. The script
#   - builds and installs the module, with warnings as errors;
#   - installs tests/requirements.txt (all of it) and, if it likes,
#     tests/requirements-optional.txt best effort;
#   - runs pytest with SCRATCH as the working directory, writing junit
#     reports SCRATCH/NAME.xml (further runs SCRATCH/NAME-WHAT.xml);
#   - writes one line to SCRATCH/NAME.about saying what was tested, e.g.
#     "CPython 3.13.5 free-threaded, i686 musl, NumPy 2.3.4";
#   - on a failure outside pytest prints the lines that say why (e.g. with
#     explain_failure) before the path of the full log;
#   - exits 0 only when everything passed and pytest collected tests.
# A leg runs when QUORVANE_LEGS names it or, when that is unset, when it is
# in DEFAULT_LEGS. A leg without its script fails the run.
set -uo pipefail

# The whole script is one block, read before it runs: editing the file (a
# checkout, a rebase) while a run is under way does not change that run.
{
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=leg-lib.sh
. "$repo/scripts/leg-lib.sh"

#          name    finder               numpy           runner nogil optional ftcheck
LEG_TABLE=(
    "cp313t  python-ft.sh         numpy==2.4.*    plain  yes   no       no"
    "cp314   python-sid.sh:3.14   numpy>=2,<3     chroot no    no       yes"
    "cp315   python-sid.sh:3.15   numpy>=2,<3     chroot no    no       yes"
    "cp312   python-gil.sh:3.12   numpy==1.26.*   plain  no    no       no"
    "cp313   python-gil.sh:3.13   numpy==2.1.*    plain  no    yes      no"
)
# The legs run when QUORVANE_LEGS is not set, the longest first so that two
# at a time finish together.
DEFAULT_LEGS=(cp313t i686 cp314 cp315 cp312 cp313 asan)

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_ROOT_USER_ACTION=ignore
export PIP_PROGRESS_BAR=off
# Warnings are errors in every build the test command makes (a user's
# `pip install .` leaves them warnings).
export SKBUILD_CMAKE_DEFINE="QUORVANE_WERROR=ON${SKBUILD_CMAKE_DEFINE:+;$SKBUILD_CMAKE_DEFINE}"
export QUORVANE_REPO=$repo
export QUORVANE_LOGS=$repo/.venvs/logs
mkdir -p "$QUORVANE_LOGS"

if ((BASH_VERSINFO[0] * 100 + BASH_VERSINFO[1] < 501)); then
    echo "scripts/test.sh needs bash 5.1 or later (this is $BASH_VERSION)"
    exit 1
fi

# The legs to run.
generic_names=()
for row in "${LEG_TABLE[@]}"; do
    read -r name _ <<<"$row"
    generic_names+=("$name")
done
legs=${QUORVANE_LEGS:-${DEFAULT_LEGS[*]}}
legs=${legs//,/ }
selected=()
for leg in $legs; do
    case $leg in
        ft) leg=cp313t ;;
        gil) leg=cp312 ;;
    esac
    [[ " ${selected[*]} " == *" $leg "* ]] || selected+=("$leg")
done

jobs=${QUORVANE_JOBS:-$(nproc 2>/dev/null || echo 1)}
((jobs > 2)) && [[ -z ${QUORVANE_JOBS:-} ]] && jobs=2
((jobs >= 1)) || jobs=1

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
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT

leg_t0=$SECONDS
# A step of a leg, with the seconds since the leg began.
step() { printf -- '--- [%4ds] %s\n' $((SECONDS - leg_t0)) "$*"; }

# ---------------------------------------------------------------- generic legs

# Set by run_generic_leg for the helpers below.
leg_runner="" leg_root="" leg_venv=""

# in_leg COMMAND...: runs COMMAND where the leg's interpreter lives, in the
# current directory (which must be inside the repository or the scratch
# directory for a chroot leg).
in_leg() {
    if [[ $leg_runner == chroot ]]; then
        bash "$repo/scripts/chroot-run.sh" "$leg_root" --bind "$repo" --bind "$scratch" \
            --pip-settings --cd "$PWD" -- "$@"
    else
        "$@"
    fi
}

# The leg's venv interpreter.
leg_py() { in_leg "$leg_venv/bin/python" "$@"; }

# run_pytest LEG REPORT -> 0 when pytest ran tests and all passed.
run_pytest() {
    local leg=$1 report=$2 rc=0
    (cd "$scratch" && leg_py -m pytest -ra --junitxml="$scratch/$report.xml" \
        "${pytest_args[@]}") || rc=$?
    case $rc in
        0) return 0 ;;
        5) echo "leg $leg: no tests were collected"; return 1 ;;
        *) return 1 ;;
    esac
}

# install_optional LEG: each optional test dependency on its own, wheels
# only, NumPy held to the leg's version.
install_optional() {
    local leg=$1 req=$repo/tests/requirements-optional.txt line missing=()
    [[ -f $req ]] || return 0
    while IFS= read -r line; do
        line=${line%%#*}
        line=${line//[[:space:]]/}
        [[ -n $line ]] || continue
        if ! leg_py -m pip install -q --only-binary=:all: -c "$scratch/$leg-constraints.txt" \
                "$line" >>"$QUORVANE_LOGS/$leg-optional.log" 2>&1; then
            missing+=("$line")
        fi
    done <"$req"
    if ((${#missing[@]})); then
        step "not installed (no wheel for this interpreter; their tests skip): ${missing[*]}"
    fi
}

# run_generic_leg NAME FINDER NUMPY RUNNER NOGIL OPTIONAL FTCHECK -> 0 when
# it passed.
run_generic_leg() {
    local leg=$1 finder=$2 numpy_req=$3 nogil=$5 optional=$6 ftcheck=$7
    leg_runner=$4
    local finder_args=(${finder//:/ }) found
    step "interpreter: scripts/${finder_args[*]}"
    if ! found=$(bash "$repo/scripts/${finder_args[0]}" "${finder_args[@]:1}"); then
        echo "leg $leg: no interpreter (scripts/${finder_args[*]} failed)"
        return 1
    fi
    local base
    if [[ $leg_runner == chroot ]]; then
        { read -r leg_root; read -r base; } <<<"$found"
    else
        base=$found
    fi
    leg_venv=$repo/.venvs/$leg
    local version
    version=$(cd "$repo" && in_leg "$base" -c 'import sys, sysconfig
print(sys.version.split()[0] + (" free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))') \
        || { echo "leg $leg: $base does not run"; return 1; }
    step "interpreter: $base${leg_root:+ in $leg_root} (CPython $version)"

    local stamp=$leg_venv/.quorvane-base want_stamp="$leg_root:$base"
    if ! [[ -f $stamp && $(cat "$stamp") == "$want_stamp" ]] \
            || ! (cd "$repo" && leg_py -c 'import pip') >/dev/null 2>&1; then
        step "creating $leg_venv"
        rm -rf "$leg_venv"
        # The pip that comes with the venv is recent enough for the steps
        # below (3.12 ships pip 23.2 or later).
        (cd "$repo" && quietly "$QUORVANE_LOGS/$leg-venv.log" in_leg "$base" -m venv "$leg_venv") \
            || return 1
        printf '%s\n' "$want_stamp" >"$stamp"
    fi

    # Wheels only: a dependency without a wheel for this interpreter fails at
    # once instead of trying a source build.
    printf '%s\n' "$numpy_req" >"$scratch/$leg-constraints.txt"
    step "installing $numpy_req and tests/requirements.txt"
    (cd "$repo" && quietly "$QUORVANE_LOGS/$leg-deps.log" leg_py -m pip install -q --upgrade \
        --only-binary=:all: "$numpy_req" -r tests/requirements.txt) || return 1
    if [[ $optional == yes ]]; then
        step "installing tests/requirements-optional.txt (best effort)"
        : >"$QUORVANE_LOGS/$leg-optional.log"
        (cd "$repo" && install_optional "$leg")
    fi

    step "building and installing quorvane (warnings are errors)"
    local build_log=$QUORVANE_LOGS/$leg-build.log
    if ! (cd "$repo" && leg_py -m pip install -v --no-deps --force-reinstall "$repo") \
            >"$build_log" 2>&1; then
        echo "build or install failed:"
        explain_failure "$build_log"
        return 1
    fi
    if ! grep -q 'quorvane: warnings are errors' "$build_log"; then
        echo "the build did not turn warnings into errors (QUORVANE_WERROR=ON was lost):"
        explain_failure "$build_log"
        return 1
    fi
    (cd "$repo" && quietly "$QUORVANE_LOGS/$leg-check.log" leg_py -m pip check) || return 1
    if [[ $ftcheck == yes ]]; then
        step "compiling the sources for the free-threaded build of this version (headers with Py_GIL_DISABLED; nothing linked)"
        (cd "$repo" && quietly "$QUORVANE_LOGS/$leg-ftcheck.log" \
            in_leg bash scripts/ft-compile-check.sh "$leg_venv/bin/python") || return 1
    fi

    # The tests must import the installed module, not anything in the tree.
    local where
    if ! where=$(cd "$scratch" && leg_py -W ignore -c \
            'import quorvane, sys; print(quorvane.__file__)' 2>"$QUORVANE_LOGS/$leg-import.log"); then
        echo "the installed module does not import:"
        explain_failure "$QUORVANE_LOGS/$leg-import.log"
        return 1
    fi
    case $where in
        "$leg_venv"/*) step "module: $where" ;;
        *) echo "imported quorvane from $where, not from $leg_venv"; return 1 ;;
    esac
    local numpy_version
    numpy_version=$(cd "$scratch" && leg_py -c 'import numpy; print(numpy.__version__)')
    step "NumPy $numpy_version"
    printf 'CPython %s, NumPy %s\n' "$version" "$numpy_version" >"$scratch/$leg.about"

    step "pytest"
    local status=0
    run_pytest "$leg" "$leg" || status=1
    if [[ $nogil == yes ]]; then
        # Importing the module turns the GIL on unless PYTHON_GIL=0 keeps it
        # off: the free-threaded build runs every test both ways.
        step "pytest with PYTHON_GIL=0"
        PYTHON_GIL=0 run_pytest "$leg" "$leg-nogil" || status=1
    fi
    return $status
}

# ---------------------------------------------------------------- running legs

# run_leg NAME: runs one leg in this (background) shell; its status is the
# leg's.
run_leg() {
    local leg=$1 row name
    leg_t0=$SECONDS
    printf '==================== leg %s ====================\n' "$leg"
    for row in "${LEG_TABLE[@]}"; do
        read -r name _ <<<"$row"
        if [[ $name == "$leg" ]]; then
            # shellcheck disable=SC2086
            run_generic_leg $row
            return
        fi
    done
    local script=$repo/scripts/legs/$leg.sh
    if [[ -f $script ]]; then
        (cd "$repo" && bash "$script" "$scratch" "${pytest_args[@]}")
        return
    fi
    echo "unknown leg '$leg' (generic: ${generic_names[*]}; special: the scripts in scripts/legs/)"
    return 1
}

declare -A started_at=() pid_leg=() leg_rc=()
start_leg() {
    local leg=$1
    started_at[$leg]=$SECONDS
    run_leg "$leg" >"$QUORVANE_LOGS/$leg.log" 2>&1 &
    pid_leg[$!]=$leg
}

# A leg's output is shown in one piece when it ends.
finish_leg() {
    local leg=$1 rc=$2
    leg_rc[$leg]=$rc
    printf '\n'
    cat "$QUORVANE_LOGS/$leg.log"
    printf -- '--- leg %s ended after %ds (log: %s)\n' "$leg" \
        $((SECONDS - ${started_at[$leg]})) "$QUORVANE_LOGS/$leg.log"
}

printf 'legs: %s (%d at a time)\n' "${selected[*]}" "$jobs"
pending=("${selected[@]}")
while ((${#pending[@]} || ${#pid_leg[@]})); do
    while ((${#pending[@]})) && ((${#pid_leg[@]} < jobs)); do
        start_leg "${pending[0]}"
        pending=("${pending[@]:1}")
    done
    done_pid=""
    wait -n -p done_pid "${!pid_leg[@]}"
    rc=$?
    [[ -n $done_pid ]] || continue
    leg=${pid_leg[$done_pid]}
    unset "pid_leg[$done_pid]"
    finish_leg "$leg" "$rc"
done

# ---------------------------------------------------------------- summary

printf '\n==================== summary ====================\n'
status=0
total_passed=0 total_failed=0 total_skipped=0
for leg in "${selected[@]}"; do
    rc=${leg_rc[$leg]}
    about=$(cat "$scratch/$leg.about" 2>/dev/null || echo "-")
    if ((rc == 0)); then verdict=passed; else verdict=FAILED; fi
    line=$(printf '%-7s %-7s %s' "$leg" "$verdict" "$about")
    shopt -s nullglob
    reports=("$scratch/$leg.xml" "$scratch/$leg"-*.xml)
    shopt -u nullglob
    leg_failed=0
    for report in "${reports[@]}"; do
        [[ -f $report ]] || continue
        read -r p f s < <(count_reports "$report")
        run=$(basename "$report" .xml)
        run=${run#"$leg"}
        run=${run#-}
        [[ $run == nogil ]] && run="PYTHON_GIL=0"
        line+=" | ${run:+$run: }$p passed, $f failed, $s skipped"
        total_passed=$((total_passed + p))
        total_failed=$((total_failed + f))
        total_skipped=$((total_skipped + s))
        leg_failed=$((leg_failed + f))
    done
    if [[ $verdict == FAILED ]]; then
        status=1
        # A leg that failed without a failing test still counts once.
        ((leg_failed > 0)) || total_failed=$((total_failed + 1))
    fi
    printf '%s\n' "$line"
done
printf 'total: %d passed, %d failed, %d skipped\n' \
    "$total_passed" "$total_failed" "$total_skipped"
exit "$status"
}
