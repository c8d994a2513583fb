#!/usr/bin/env bash
# Prints the path of a CPython interpreter with the global lock.
#
#   scripts/python-gil.sh        the oldest CPython that pyproject.toml's
#                                requires-python allows (3.12 or newer)
#   scripts/python-gil.sh 3.Y    CPython 3.Y exactly
#
# $QUORVANE_PYTHON_GIL is taken first when it fits. A pythonX.Y on PATH may
# be a pyenv shim that fails unless that version is selected, so every
# candidate is run before it is taken, and the versions under `pyenv root`
# are searched as well. Progress and errors go to stderr.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf 'python-gil: %s\n' "$*" >&2; }

# The lowest 3.Y that requires-python (">=3.Y") allows.
minimum=$(sed -n 's/^requires-python *= *">= *\(3\.[0-9][0-9]*\)".*/\1/p' "$repo/pyproject.toml")
if [[ -z $minimum ]]; then
    log "error: pyproject.toml has no requires-python of the form \">=3.Y\""
    exit 1
fi
minor=${minimum#3.}

if (($# > 1)) || { (($# == 1)) && ! [[ $1 =~ ^3\.[0-9]+$ ]]; }; then
    log "usage: python-gil.sh [3.Y]"
    exit 2
fi
if (($# == 1)); then
    if ((${1#3.} < minor)); then
        log "error: CPython $1 is older than pyproject.toml's requires-python (>=$minimum)"
        exit 1
    fi
    wanted=("$1")
else
    wanted=()
    for ((m = minor; m <= minor + 8; m++)); do wanted+=("3.$m"); done
fi

# True when "$1" runs, is CPython X.Y ("$2") and has the global lock.
is_gil_python() {
    local py=$1 want=$2
    [[ -n "$py" && -x "$py" ]] || return 1
    "$py" - "$want" <<'PY' >/dev/null 2>&1
import sys, sysconfig
want = sys.argv[1]
ok = (
    sys.implementation.name == "cpython"
    and "%d.%d" % sys.version_info[:2] == want
    and not sysconfig.get_config_var("Py_GIL_DISABLED")
)
sys.exit(0 if ok else 1)
PY
}

# The real path behind a candidate, so that a shim is never printed.
real_path() {
    "$1" -c 'import sys; print(sys.executable)'
}

if [[ -n "${QUORVANE_PYTHON_GIL:-}" ]]; then
    for want in "${wanted[@]}"; do
        if is_gil_python "$QUORVANE_PYTHON_GIL" "$want"; then
            real_path "$QUORVANE_PYTHON_GIL"
            exit 0
        fi
    done
    if (($# == 0)); then
        log "error: QUORVANE_PYTHON_GIL=$QUORVANE_PYTHON_GIL is not a CPython >= $minimum with the global lock"
        exit 1
    fi
    # Set for another leg's version: search for this one.
fi

pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root 2>/dev/null || true)
fi

for want in "${wanted[@]}"; do
    candidates=()
    if py=$(command -v "python$want" 2>/dev/null); then
        candidates+=("$py")
    fi
    if [[ -n "$pyenv_root" && -d "$pyenv_root/versions" ]]; then
        # Newest patch release first.
        while IFS= read -r py; do
            candidates+=("$py")
        done < <(printf '%s\n' "$pyenv_root"/versions/"$want".*/bin/"python$want" | sort -rV)
    fi
    candidates+=(/usr/local/bin/"python$want" /usr/bin/"python$want")
    for py in "${candidates[@]}"; do
        if is_gil_python "$py" "$want"; then
            real_path "$py"
            exit 0
        fi
    done
done

if (($# == 1)); then
    what="CPython $1"
else
    what="CPython >= $minimum"
fi
log "error: no $what with the GIL found: install one (pyenv install ${wanted[0]}, or your distribution's python${wanted[0]} and python${wanted[0]}-venv) or set QUORVANE_PYTHON_GIL to it"
exit 1
