#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (--disable-gil) into
# ${XDG_CACHE_HOME:-$HOME/.cache}/quorvane/cpython-3.13t from Debian's python3.13
# source package (trixie) and prints the interpreter's path. Called by
# scripts/python-ft.sh when it finds no free-threaded interpreter.
#
# What it does to the machine (it says so again before it starts):
#   - adds trixie's source index to apt's sources (a deb-src entry only, so no
#     installed package can be upgraded from it) and runs apt-get update;
#   - installs the build dependencies that are missing, with apt-get (as root,
#     or through sudo);
#   - builds and installs CPython into the cache directory above.
# One build at a time: a second caller waits for the first and uses its result.
# Progress goes to stderr; the only line on stdout is the interpreter's path.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
log() { printf 'python-ft-build: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
found() { printf '%s\n' "$1"; exit 0; }

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quorvane"
prefix="$cache_root/cpython-3.13t"
cached_python="$prefix/bin/python3.13t"
# is_free_threaded, is_usable
# shellcheck source=python-ft-lib.sh
. "$here/python-ft-lib.sh"

mkdir -p "$cache_root"
exec 9>"$cache_root/cpython-3.13t.lock"
if ! flock -n 9; then
    log "another build of the free-threaded interpreter is running; waiting for it"
    flock 9
fi
if is_usable "$cached_python"; then
    found "$cached_python"
fi

log "about to add trixie's source index to apt's sources, install missing build packages with apt-get and build CPython 3.13 into $prefix"
if [[ $(id -u) -eq 0 ]]; then
    as_root() { "$@"; }
elif command -v sudo >/dev/null 2>&1; then
    as_root() { sudo -n "$@"; }
else
    die "building CPython needs root (or sudo) to install Debian packages"
fi
command -v apt-get >/dev/null 2>&1 || die "no apt-get: set QUORVANE_PYTHON_FT to a free-threaded CPython >= 3.13"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-cpython.XXXXXX")
trap 'rm -rf "$work"' EXIT
build_log="$cache_root/cpython-3.13t-build.log"
: >"$build_log"
log "building a free-threaded CPython 3.13 into $prefix (log: $build_log)"

# Runs a command with its output in the build log; on failure shows the tail.
run_logged() {
    if ! "$@" >>"$build_log" 2>&1; then
        log "failed: $*"
        tail -n 40 "$build_log" >&2
        exit 1
    fi
}

# Trixie's source index only: no deb line, so no binary package of the
# installed release can be upgraded from it.
bash "$here/trixie-src.sh" || die "could not add trixie's source index"

log "apt-get update"
export DEBIAN_FRONTEND=noninteractive
run_logged as_root flock "$cache_root/host-apt.lock" apt-get -o DPkg::Lock::Timeout=900 update

build_deps=(build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev
            liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev
            dpkg-dev xz-utils)
missing=()
for p in "${build_deps[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$p")
done
if ((${#missing[@]})); then
    log "installing build dependencies: ${missing[*]}"
    run_logged as_root flock "$cache_root/host-apt.lock" apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}"
fi

log "downloading the python3.13 source package"
chmod 755 "$work"
(cd "$work" && run_logged apt-get source --download-only python3.13)
shopt -s nullglob
origs=("$work"/python3.13_*.orig.tar.xz)
shopt -u nullglob
((${#origs[@]} == 1)) || die "expected one python3.13_*.orig.tar.xz, found ${#origs[@]}"
log "unpacking $(basename "${origs[0]}")"
mkdir "$work/src"
tar -xJf "${origs[0]}" -C "$work/src" --strip-components=1

cd "$work/src"
log "configure --disable-gil"
rm -rf "$prefix"
run_logged ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install
log "make -j2 (a few minutes)"
run_logged make -j2
log "make altinstall"
run_logged make altinstall

[[ -x "$cached_python" ]] || die "no python3.13t in $prefix/bin after the install"
is_usable "$cached_python" || die "the built interpreter $cached_python does not work"
log "ready: $cached_python"
found "$cached_python"
