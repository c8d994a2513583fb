#!/usr/bin/env bash
# Runs the quorvane demo: sets up its own environment in .venvs/demo (CPython
# 3.12, quorvane built from this checkout, NumPy, pandas, matplotlib and the
# backtesting package for its GOOG sample prices), then runs examples/demo.py
# with the arguments given here, e.g.
#   bash scripts/demo.sh                 # GOOG sample, chart in demo-output/
#   bash scripts/demo.sh prices.csv -o chart.png
#   bash scripts/demo.sh --help
# Later runs reuse the environment and rebuild quorvane only when its sources
# changed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$repo/.venvs/demo"
log="$venv/setup.log"
packages=(numpy pandas matplotlib backtesting)

say() { printf 'demo: %s\n' "$*" >&2; }

# Runs a command with its output in the setup log; shows elapsed time while it
# runs on a terminal, and the end of the log if it fails.
step() {
    local message=$1; shift
    local started=$SECONDS
    say "$message"
    printf '\n$ %s\n' "$*" >>"$log"
    "$@" >>"$log" 2>&1 &
    local pid=$!
    if [[ -t 2 ]]; then
        while kill -0 "$pid" 2>/dev/null; do
            sleep 1
            kill -0 "$pid" 2>/dev/null && printf '\rdemo:   ... %ds' $((SECONDS - started)) >&2
        done
        printf '\r\033[K' >&2
    fi
    if ! wait "$pid"; then
        say "failed: $message"
        say "last lines of $log:"
        tail -n 25 "$log" >&2
        exit 1
    fi
    say "  done in $((SECONDS - started)) s"
}

find_python() {
    if [[ -n "${QUORVANE_DEMO_PYTHON:-}" ]]; then
        printf '%s\n' "$QUORVANE_DEMO_PYTHON"
    elif [[ -f "$repo/scripts/python-gil.sh" ]]; then
        bash "$repo/scripts/python-gil.sh"
    else
        local candidate
        for candidate in "$(command -v python3.12)" \
                "$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12; do
            if [[ -x "$candidate" ]] && "$candidate" -c '' 2>/dev/null; then
                printf '%s\n' "$candidate"
                return 0
            fi
        done
        return 1
    fi
}

# A fingerprint of everything that goes into the installed module and stubs.
source_fingerprint() {
    local paths=() path
    for path in pyproject.toml CMakeLists.txt bindings quorvane-core python-stubs; do
        [[ -e "$repo/$path" ]] && paths+=("$path")
    done
    (cd "$repo" && find "${paths[@]}" -type f ! -name '*.pyc' -print0 | sort -z \
        | xargs -0 sha256sum | sha256sum)
}

if [[ ! -x "$venv/bin/python" ]] || ! "$venv/bin/python" -c '' 2>/dev/null; then
    python=$(find_python) || { say "error: no CPython 3.12 interpreter found"; exit 1; }
    say "setting up the demo environment in .venvs/demo with $("$python" --version 2>&1)"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
: >>"$log"

wanted="${packages[*]}"
if [[ "$(cat "$venv/.packages" 2>/dev/null)" != "$wanted" ]]; then
    step "installing ${packages[*]} (about a minute on the first run) ..." \
        "$venv/bin/python" -m pip install --upgrade --disable-pip-version-check "${packages[@]}"
    printf '%s' "$wanted" >"$venv/.packages"
fi

fingerprint=$(source_fingerprint)
if [[ "$(cat "$venv/.quorvane" 2>/dev/null)" != "$fingerprint" ]]; then
    step "building and installing quorvane from this checkout (compiles the C++ module) ..." \
        "$venv/bin/python" -m pip install --disable-pip-version-check --force-reinstall --no-deps "$repo"
    printf '%s' "$fingerprint" >"$venv/.quorvane"
fi

exec "$venv/bin/python" "$repo/examples/demo.py" "$@"
