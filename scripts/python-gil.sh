#!/usr/bin/env bash
# Prints the path of a CPython interpreter with the global lock: 3.12, or
# 3.11 when no 3.12 is found. $QUORVANE_PYTHON_GIL overrides the search.
#
# A pythonX.Y on PATH may be a pyenv shim that fails unless that version is
# selected, so every candidate is run before it is taken, and the versions
# under `pyenv root` are searched as well.
set -euo pipefail

log() { printf 'python-gil: %s\n' "$*" >&2; }

# True when "$1" runs, is CPython X.Y ("$2") and has the global lock.
is_gil_python() {
    local py=$1 want=$2
    [[ -n "$py" && -x "$py" ]] || return 1
    "$py" - "$want" <<'EOF' >/dev/null 2>&1
import sys, sysconfig
want = sys.argv[1]
ok = (
    sys.implementation.name == "cpython"
    and "%d.%d" % sys.version_info[:2] == want
    and not sysconfig.get_config_var("Py_GIL_DISABLED")
)
sys.exit(0 if ok else 1)
EOF
}

# The real path behind a candidate, so that a shim is never printed.
real_path() {
    "$1" -c 'import sys; print(sys.executable)'
}

if [[ -n "${QUORVANE_PYTHON_GIL:-}" ]]; then
    for want in 3.12 3.11; do
        if is_gil_python "$QUORVANE_PYTHON_GIL" "$want"; then
            real_path "$QUORVANE_PYTHON_GIL"
            exit 0
        fi
    done
    log "error: QUORVANE_PYTHON_GIL=$QUORVANE_PYTHON_GIL is not a CPython 3.12 or 3.11 with the global lock"
    exit 1
fi

pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root 2>/dev/null || true)
fi

for want in 3.12 3.11; do
    candidates=()
    if py=$(command -v "python$want" 2>/dev/null); then
        candidates+=("$py")
    fi
    if [[ -n "$pyenv_root" && -d "$pyenv_root/versions" ]]; then
        # Newest patch release first.
        while IFS= read -r py; do
            candidates+=("$py")
        done < <(printf '%s\n' "$pyenv_root"/versions/"$want"*/bin/"python$want" | sort -rV)
    fi
    for py in /usr/local/bin/"python$want" /usr/bin/"python$want"; do
        candidates+=("$py")
    done
    for py in "${candidates[@]}"; do
        if is_gil_python "$py" "$want"; then
            real_path "$py"
            exit 0
        fi
    done
done

log "error: no CPython 3.12 or 3.11 found (set QUORVANE_PYTHON_GIL)"
exit 1
