#!/usr/bin/env bash
# Benchmarks quorvane against the libraries users would pick instead and
# against its own floor; prints the tables and writes them to bench/results.md.
#
# Usage: bash bench/run.sh [--quick]
#   --quick   few repetitions: checks that everything runs, numbers are rough.
#
# Environments (git-ignored, in bench/.env/, reused between runs):
#   ft    the free-threaded interpreter (scripts/python-ft.sh): quorvane, NumPy,
#         and the peers if every one of them has a wheel for it;
#   gil   an interpreter with the global lock (scripts/python-gil.sh): quorvane
#         and all peers, used for the peer table when the free-threaded one
#         lacks a peer (TA-Lib has no free-threaded wheel so far).
# The floor and the allocation shim are compiled into bench/.env/build/; the
# universe of the many-symbols table is written to bench/.env/universe/.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
env_root="$here/.env"
build="$env_root/build"
frags="$here/results"
quick=0
for arg in "$@"; do
    case "$arg" in
        --quick) quick=1 ;;
        *) echo "usage: bash bench/run.sh [--quick]" >&2; exit 2 ;;
    esac
done

log() { printf '\n== %s\n' "$*" >&2; }
mkdir -p "$build" "$frags"
rm -f "$frags"/*.md

# Peers, by the name pip knows them and the module they import as.
peers=(numpy:numpy pandas:pandas bottleneck:bottleneck polars:polars ta-lib:talib)

# make_env NAME PYTHON: a venv with quorvane installed from this checkout.
make_env() {
    local name=$1 python=$2 venv="$env_root/$1"
    if [[ ! -x "$venv/bin/python" ]]; then
        log "creating $name environment from $python"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
    log "installing quorvane into $name"
    "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$repo" >&2
}

# install_peers NAME: installs every peer that has a wheel for the venv's
# interpreter; prints the ones that have none. No source builds: a peer that
# needs one (a C library of its own, a Rust toolchain) is left out, with a note.
install_peers() {
    local venv="$env_root/$1" peer pkg mod missing=()
    for peer in "${peers[@]}"; do
        pkg=${peer%%:*} mod=${peer#*:}
        if "$venv/bin/python" -c "import $mod" >/dev/null 2>&1; then continue; fi
        if ! "$venv/bin/python" -m pip install --quiet --only-binary=:all: "$pkg" >&2 2>/dev/null \
            || ! "$venv/bin/python" -c "import $mod" >/dev/null 2>&1; then
            missing+=("$pkg")
        fi
    done
    if ((${#missing[@]})); then printf '%s\n' "${missing[@]}"; fi
}

# The benchmark processes see no OpenBLAS overrides: they exist here only for
# old OpenBLAS builds and slow a current NumPy down. No benchmark here calls
# BLAS, but a peer might.
run_py() { env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$@"; }

# flags GROUP...: the project's compiler flags of these groups (cxx-flags.txt).
flags() {
    local group
    for group in "$@"; do
        sed -n "s/^$group: *//p" "$repo/cxx-flags.txt"
    done | tr '\n' ' '
}

log "compiling the floor and the allocation shim"
# The module's own flags (and the optimisation of its Release build): no
# contraction into fused multiply-adds.
# shellcheck disable=SC2046  # the flags are separate words
g++ -O3 $(flags language warnings floating-point) -fPIC -shared \
    -o "$build/libfloor.so" "$here/floor.cpp"
gcc -O2 -std=c11 -Wall -Wextra -fPIC -shared \
    -o "$build/libmalloc_count.so" "$here/malloc_count.c" -ldl

ft_python=$(bash "$repo/scripts/python-ft.sh") || ft_python=""
table_env=""
if [[ -n "$ft_python" ]]; then
    make_env ft "$ft_python"
    mapfile -t ft_missing < <(install_peers ft)
    if ((${#ft_missing[@]} == 0)); then
        table_env=ft
    else
        echo "note: no free-threaded wheel for: ${ft_missing[*]}; peer table on the GIL interpreter" >&2
    fi
else
    echo "note: no free-threaded interpreter; threads are not measured" >&2
fi
gil_ready=0
if [[ -z "$table_env" ]]; then
    gil_python=$(bash "$repo/scripts/python-gil.sh")
    make_env gil "$gil_python"
    gil_ready=1
    mapfile -t gil_missing < <(install_peers gil)
    if ((${#gil_missing[@]})); then
        echo "note: left out of the peer table (no wheel installs here): ${gil_missing[*]}" >&2
    fi
    table_env=gil
fi
target_env=${ft_python:+ft}
target_env=${target_env:-gil}

export BENCH_QUICK=$quick
# PYTHON_GIL=0: the module declares that it needs the global lock, so on the
# free-threaded interpreter importing it would turn the lock back on for the
# whole process. The kernels are safe to run side by side, and users who run
# them in threads start Python this way; the threads section needs it.
target_py=("$env_root/$target_env/bin/python")
table_py=("$env_root/$table_env/bin/python")
if [[ $target_env == ft ]]; then target_py=(env PYTHON_GIL=0 "${target_py[@]}"); fi
if [[ $table_env == ft ]]; then table_py=(env PYTHON_GIL=0 "${table_py[@]}"); fi

cd "$here"
log "peer table ($table_env)"
run_py "${table_py[@]}" peers.py "$frags/peers.md"
log "floor, small calls, adversarial input, threads ($target_env)"
run_py "${target_py[@]}" targets.py --floor "$build/libfloor.so" --fragment "$frags/targets.md"
log "heap allocations ($target_env)"
run_py "${target_py[@]}" alloc.py --shim "$build/libmalloc_count.so" --fragment "$frags/alloc.md"

# Many symbols: the universe job of examples/universe_dask.py, run serially, on
# threads, on a Dask LocalCluster and against pandas. Dask runs on the GIL
# interpreter; the thread rows are measured on the free-threaded one too when
# pandas and pyarrow have wheels for it.
if ((!gil_ready)); then
    make_env gil "$(bash "$repo/scripts/python-gil.sh")"
fi
log "installing pandas, pyarrow, dask, distributed and TA-Lib for the universe benchmark"
"$env_root/gil/bin/python" -m pip install --quiet --only-binary=:all: \
    pandas pyarrow dask distributed ta-lib >&2
ft_args=()
if [[ -n "$ft_python" ]] && "$env_root/ft/bin/python" -m pip install --quiet \
        --only-binary=:all: pandas pyarrow >&2 2>/dev/null; then
    ft_args=(--ft-python "$env_root/ft/bin/python")
fi
log "many symbols (gil${ft_args[*]:+; threads on ft too})"
run_py "$env_root/gil/bin/python" universe.py --fragment "$frags/universe.md" "${ft_args[@]}"

describe() {  # one line about an environment's interpreter and libraries
    "$env_root/$1/bin/python" - <<'PY'
import importlib, platform, sysconfig
found = []
for name in ["quorvane", "numpy", "talib", "pandas", "bottleneck", "polars"]:
    try:
        module = importlib.import_module(name)
    except Exception:
        continue
    found.append(f"{name} {getattr(module, '__version__', '')}".strip())
ft = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
print(f"Python {platform.python_version()}{ft}: " + ", ".join(found))
PY
}

{
    echo "<!-- Written by bench/run.sh; rerun it to refresh. -->"
    echo "## Benchmarks"
    echo
    echo "Measured $(date -u +%Y-%m-%d) by \`bash bench/run.sh\`$( ((quick)) && echo ' --quick (rough numbers)')."
    echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores, $(uname -sm), shared with other work while measuring: read the ratios, not the absolute times."
    echo "Each figure is the median of repeated samples, libraries sampled in turns, each sample after 20 ms of untimed calls of the same function."
    echo
    echo "- Peer table: $(PYTHON_GIL=0 describe "$table_env")"
    [[ $target_env != "$table_env" ]] && echo "- Targets: $(PYTHON_GIL=0 describe "$target_env") (PYTHON_GIL=0)"
    echo
    cat "$frags/peers.md"
    echo
    cat "$frags/targets.md"
    echo
    cat "$frags/alloc.md"
    echo
    cat "$frags/universe.md"
    # What the targets mean and why some are missed: written by hand.
    echo
    cat "$here/notes.md"
} >"$here/results.md"
log "written: bench/results.md"
