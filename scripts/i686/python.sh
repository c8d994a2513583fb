#!/usr/bin/env bash
# zlib and libffi (static), then the free-threaded CPython 3.13 for the
# 32-bit x86 musl target, into the cache's sysroot (common.sh). Needs
# toolchain.sh first.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/common.sh"

downloads=$I686_CACHE/downloads
log=$I686_CACHE/python.log
: >"$log"
[[ -x $I686_CC && -x $I686_LOADER ]] || i686_die "no toolchain: run toolchain.sh first"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-i686.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$I686_SYSROOT"

# Build settings shared by the libraries.
target_env=(CC="$I686_CC" CXX="$I686_CXX" AR=ar RANLIB=ranlib CFLAGS="-O2")
# Configure scripts that must not take this machine for the target.
cross=(--build="$(uname -m)-pc-linux-gnu" --host=i686-pc-linux-musl)

zlib_pins="zlib $ZLIB_VERSION toolchain $(cat "$I686_CACHE/stamps/toolchain-check")"
if ! i686_done zlib "$zlib_pins"; then
    i686_log "building zlib $ZLIB_VERSION"
    mkdir "$work/zlib"
    tar -xzf "$downloads/$ZLIB_ORIG" -C "$work/zlib" --strip-components=1
    (cd "$work/zlib" && i686_run "$log" env "${target_env[@]}" \
        ./configure --prefix="$I686_SYSROOT" --static)
    i686_run "$log" make -C "$work/zlib" -j2
    i686_run "$log" make -C "$work/zlib" install
    i686_unmark python
    i686_mark zlib "$zlib_pins"
fi

libffi_pins="libffi $LIBFFI_VERSION toolchain $(cat "$I686_CACHE/stamps/toolchain-check")"
if ! i686_done libffi "$libffi_pins"; then
    i686_log "building libffi $LIBFFI_VERSION"
    mkdir "$work/libffi"
    tar -xzf "$downloads/$LIBFFI_ORIG" -C "$work/libffi" --strip-components=1
    (cd "$work/libffi" && i686_run "$log" autoreconf -fi)
    # Under zig, configure's test for the hidden visibility attribute fails
    # although the attribute works.
    (cd "$work/libffi" && i686_run "$log" env "${target_env[@]}" \
        libffi_cv_hidden_visibility_attribute=yes \
        ./configure "${cross[@]}" --prefix="$I686_SYSROOT" --disable-shared --enable-static \
        --with-pic --disable-docs --disable-multi-os-directory)
    i686_run "$log" make -C "$work/libffi" -j2
    i686_run "$log" make -C "$work/libffi" install
    i686_unmark python
    i686_mark libffi "$libffi_pins"
fi

python_pins="cpython $PYTHON_VERSION $zlib_pins $libffi_pins"
if ! i686_done python "$python_pins"; then
    i686_log "building CPython $PYTHON_VERSION with --disable-gil (a few minutes)"
    mkdir "$work/python"
    tar -xJf "$downloads/$PYTHON_ORIG" -C "$work/python" --strip-components=1
    rm -rf "$I686_SYSROOT/bin/python3.13t" "$I686_SYSROOT/lib/python3.13t"
    # zig makes -Wdate-time an error at -O3; the build information has the
    # build's date in it.
    (cd "$work/python" && i686_run "$log" env CC="$I686_CC" CXX="$I686_CXX" \
        CFLAGS="-Wno-date-time" \
        ./configure --disable-gil --prefix="$I686_SYSROOT" --with-ensurepip=install \
        --disable-test-modules)
    i686_run "$log" make -C "$work/python" -j2
    i686_run "$log" make -C "$work/python" altinstall
    "$I686_PYTHON" -c 'import sys, sysconfig, zlib, ctypes
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert sys.maxsize == 2**31 - 1' >>"$log" 2>&1 \
        || i686_die "the built interpreter $I686_PYTHON does not work (log: $log)"
    i686_unmark numpy
    i686_mark python "$python_pins"
fi
i686_log "interpreter ready: $I686_PYTHON"
