# Shared by the scripts that build the 32-bit x86 Linux musl target (sourced).
#
# Everything lives under one cache directory, $I686_CACHE:
#   downloads/    sources and wheels, each checked against its SHA-256 below
#   zig/          the ziglang wheel, unpacked (zig/ziglang/zig)
#   zig-cache/    zig's own cache (its libc and libc++ builds for the target)
#   host-tools/   CMake and Ninja for this machine, used by the target's builds
#   musl/         musl built with the host's gcc -m32: lib/libc.so is the C
#                 library and, as lib/ld-musl-i386.so.1, the program loader
#   bin/          i686-linux-musl-cc and -c++: zig cc/c++ for the target, linking
#                 position-independent programs that use the loader above
#   sysroot/      zlib and libffi (static), and CPython 3.13 built with
#                 --disable-gil: sysroot/bin/python3.13t
#   wheels/       wheels for the target: NumPy built here, pure-Python packages
#   stamps/       one file per finished step, holding the pins it was built with
#
# Every version is pinned here; a changed pin rebuilds the steps that use it.

I686_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/quorvane/i686-musl

# Sources: Debian trixie's source packages (the upstream tarball only).
MUSL_VERSION=1.2.5
MUSL_ORIG=musl_1.2.5.orig.tar.gz
MUSL_SHA256=a9a118bbe84d8764da0ea0d28b3ab3fae8477fc7e4085d90102b8596fc7c75e4
LIBFFI_VERSION=3.4.8
LIBFFI_ORIG=libffi_3.4.8.orig.tar.gz
LIBFFI_SHA256=cbb7f0b3b095dc506387ec1e35b891bfb4891d05b90a495bc69a10f2293f80ff
ZLIB_VERSION=1.3.1
ZLIB_ORIG=zlib_1.3.dfsg+really1.3.1.orig.tar.gz
ZLIB_SHA256=60dd315c07f616887caa029408308a018ace66e3d142726a97db164b3b8f69fb
PYTHON_VERSION=3.13.5
PYTHON_ORIG=python3.13_3.13.5.orig.tar.xz
PYTHON_SHA256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640

# Tools for this machine (wheels from PyPI).
ZIG_VERSION=0.17.1
CMAKE_VERSION=4.2.1
NINJA_VERSION=1.13.0

# NumPy for the target, from its source distribution: no i686 wheel exists.
NUMPY_VERSION=2.4.6
NUMPY_SDIST=numpy-2.4.6.tar.gz
NUMPY_SHA256=f3a3570c4a2a16746ac2c31a7c7c7b0c186b95ce902e33db6f28094ed7387dda

# Pure-Python wheels for the target: NumPy's build requirements (Cython's
# pure-Python wheel: pip would pick its abi3 wheel, which does not load on the
# free-threaded build), quorvane's build requirements and the test
# requirements. Installed with --no-deps, so the list is complete.
TARGET_WHEELS=(
    cython==3.3.2 meson==1.12.1 meson-python==0.22.1 pyproject-metadata==0.12.1
    packaging==26.4
    scikit-build-core==1.1.2 pathspec==1.1.1
    pytest==9.2.0 iniconfig==2.3.1 pluggy==1.7.0 pygments==2.21.0
    hypothesis==6.155.7 sortedcontainers==2.4.0
    mypy==1.18.2 mypy-extensions==1.2.0 typing-extensions==4.16.0
)

I686_ZIG=$I686_CACHE/zig/ziglang/zig
I686_MUSL=$I686_CACHE/musl
I686_LOADER=$I686_MUSL/lib/ld-musl-i386.so.1
I686_SYSROOT=$I686_CACHE/sysroot
I686_CC=$I686_CACHE/bin/i686-linux-musl-cc
I686_CXX=$I686_CACHE/bin/i686-linux-musl-c++
I686_PYTHON=$I686_SYSROOT/bin/python3.13t
I686_WHEELS=$I686_CACHE/wheels

export ZIG_GLOBAL_CACHE_DIR=$I686_CACHE/zig-cache
export ZIG_LOCAL_CACHE_DIR=$I686_CACHE/zig-cache
export PATH=$I686_CACHE/host-tools/bin:$PATH
# Only the target's own packages; never this machine's .pc files.
export PKG_CONFIG_LIBDIR=$I686_SYSROOT/lib/pkgconfig
export PKG_CONFIG_PATH=

i686_log() { printf 'i686: %s\n' "$*" >&2; }
i686_die() { i686_log "error: $*"; exit 1; }

# i686_run LOG COMMAND... runs a command with its output in LOG; on failure
# shows the log's tail and exits.
i686_run() {
    local log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        i686_log "failed: $* (log: $log)"
        tail -n 25 "$log" | cut -c1-400 >&2
        exit 1
    fi
}

# i686_done STEP TEXT: true when STEP finished with the same pins.
i686_done() { [[ -f $I686_CACHE/stamps/$1 && $(cat "$I686_CACHE/stamps/$1") == "$2" ]]; }
i686_mark() { mkdir -p "$I686_CACHE/stamps"; printf '%s\n' "$2" >"$I686_CACHE/stamps/$1"; }
i686_unmark() { rm -f "$I686_CACHE/stamps/$1"; }

i686_sha256_ok() { [[ -f $1 ]] && [[ $(sha256sum "$1" | cut -d' ' -f1) == "$2" ]]; }

if [[ $(id -u) -eq 0 ]]; then
    i686_as_root() { "$@"; }
else
    i686_as_root() { sudo -n "$@"; }
fi
