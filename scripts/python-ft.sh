#!/usr/bin/env bash
# Prints the path of a free-threaded CPython (>= 3.13) interpreter.
#
#   scripts/python-ft.sh             finds one, or builds one when none is found
#   scripts/python-ft.sh --find-only finds one; exit status 1 when none is found
#
# Looks, in order, at:
#   1. $QUORVANE_PYTHON_FT
#   2. python3.13t / python3.14t on PATH
#   3. free-threaded versions under `pyenv root`, when pyenv exists
#   4. a cached build in ${XDG_CACHE_HOME:-$HOME/.cache}/quorvane/cpython-3.13t
# Finding changes nothing on the machine. When nothing is found, the build
# is scripts/python-ft-build.sh, which says first what it is about to change.
# Progress goes to stderr; the only line on stdout is the interpreter's path.
set -euo pipefail

find_only=0
case "${1:-}" in
    "") ;;
    --find-only) find_only=1 ;;
    *) printf 'usage: python-ft.sh [--find-only]\n' >&2; exit 2 ;;
esac

log() { printf 'python-ft: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# is_free_threaded, is_usable
# shellcheck source=python-ft-lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/python-ft-lib.sh"

found() { printf '%s\n' "$1"; exit 0; }

# 1. Explicit choice.
if [[ -n "${QUORVANE_PYTHON_FT:-}" ]]; then
    is_free_threaded "$QUORVANE_PYTHON_FT" \
        || die "QUORVANE_PYTHON_FT=$QUORVANE_PYTHON_FT is not a free-threaded CPython >= 3.13"
    found "$QUORVANE_PYTHON_FT"
fi

# 2. On PATH.
for name in python3.13t python3.14t; do
    if py=$(command -v "$name" 2>/dev/null) && is_usable "$py"; then
        found "$py"
    fi
done

# 3. pyenv-managed free-threaded versions (named like 3.13.1t).
if command -v pyenv >/dev/null 2>&1; then
    if root=$(pyenv root 2>/dev/null) && [[ -d "$root/versions" ]]; then
        for py in "$root"/versions/3.1[3-9]*t/bin/python3.1[3-9]t; do
            if is_usable "$py"; then
                found "$py"
            fi
        done
    fi
fi

# 4. Cached build.
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quorvane"
prefix="$cache_root/cpython-3.13t"
cached_python="$prefix/bin/python3.13t"
if is_usable "$cached_python"; then
    found "$cached_python"
fi

# 5. Nothing found.
if ((find_only)); then
    log "no free-threaded CPython >= 3.13 found"
    exit 1
fi
exec bash "$(dirname "${BASH_SOURCE[0]}")/python-ft-build.sh"
