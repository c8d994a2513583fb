#!/usr/bin/env bash
# The toolchain for the 32-bit x86 musl target, into the cache (common.sh):
# CMake and Ninja for this machine, zig, musl's run-time C library and loader,
# and the compiler wrappers bin/i686-linux-musl-cc and -c++.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/common.sh"

downloads=$I686_CACHE/downloads
log=$I686_CACHE/toolchain.log
: >"$log"

# unpack_wheel WHEEL-GLOB DIRECTORY: a wheel's files, executables included.
unpack_wheel() {
    local wheel
    wheel=$(compgen -G "$downloads/$1") || i686_die "no $1 in $downloads (run fetch.sh)"
    rm -rf "$2"
    mkdir -p "$2"
    i686_run "$log" python3 -m zipfile -e "$wheel" "$2"
}

# --- CMake and Ninja for this machine.
pins="cmake $CMAKE_VERSION ninja $NINJA_VERSION"
if ! i686_done host-tools "$pins"; then
    i686_log "unpacking CMake $CMAKE_VERSION and Ninja $NINJA_VERSION"
    tools=$I686_CACHE/host-tools
    rm -rf "$tools"
    unpack_wheel "cmake-$CMAKE_VERSION-*.whl" "$tools/cmake-wheel"
    unpack_wheel "ninja-$NINJA_VERSION-*.whl" "$tools/ninja-wheel"
    chmod +x "$tools"/cmake-wheel/cmake/data/bin/* "$tools/ninja-wheel/ninja-$NINJA_VERSION.data/scripts/ninja"
    mkdir -p "$tools/bin"
    for tool in cmake ctest cpack; do
        ln -s "../cmake-wheel/cmake/data/bin/$tool" "$tools/bin/$tool"
    done
    ln -s "../ninja-wheel/ninja-$NINJA_VERSION.data/scripts/ninja" "$tools/bin/ninja"
    "$tools/bin/cmake" --version >/dev/null && "$tools/bin/ninja" --version >/dev/null \
        || i686_die "the unpacked CMake or Ninja does not run"
    i686_mark host-tools "$pins"
fi

# --- zig: clang and libc++ for x86-linux-musl.
if ! i686_done zig "$ZIG_VERSION"; then
    i686_log "unpacking zig $ZIG_VERSION"
    unpack_wheel "ziglang-$ZIG_VERSION-*.whl" "$I686_CACHE/zig"
    chmod +x "$I686_ZIG"
    [[ $("$I686_ZIG" version) == "$ZIG_VERSION" ]] || i686_die "zig is not version $ZIG_VERSION"
    i686_mark zig "$ZIG_VERSION"
fi

# --- musl, built with this machine's gcc -m32. Programs for the target are
# linked by zig against its own stand-in of musl's libc.so; this is the one
# they run with. (zig's own build of musl exports too few symbols for
# extension modules: memcpy not found.)
if ! i686_done musl "$MUSL_VERSION"; then
    i686_log "building musl $MUSL_VERSION with gcc -m32"
    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-musl.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    tar -xzf "$downloads/$MUSL_ORIG" -C "$work" --strip-components=1
    rm -rf "$I686_MUSL"
    (cd "$work" && i686_run "$log" env CC="gcc -m32" ./configure --target=i386-linux-musl \
        --prefix="$I686_MUSL" --syslibdir="$I686_MUSL/lib" --disable-static)
    i686_run "$log" make -C "$work" -j2 AR=ar RANLIB=ranlib
    i686_run "$log" make -C "$work" install AR=ar RANLIB=ranlib
    rm -rf "$work"
    trap - EXIT
    [[ -x $I686_LOADER ]] || i686_die "musl installed no $I686_LOADER"
    i686_mark musl "$MUSL_VERSION"
fi

# --- The compiler wrappers. Every object is position-independent and every
# program a dynamically linked PIE (zig links programs for musl statically
# unless told -dynamic, and a static program cannot load extensions): zig's stand-in libc.so gives several data objects one
# address, so copy relocations in a fixed-address program would alias them
# (-z nocopyreloc makes any that remain a link error). Programs and shared
# libraries find the loader and the sysroot's libraries by absolute path.
wrapper_text() {
    local driver=$1
    cat <<EOF
#!/bin/sh
# zig $driver for 32-bit x86 Linux with musl; written by scripts/i686/toolchain.sh.
export ZIG_GLOBAL_CACHE_DIR='$ZIG_GLOBAL_CACHE_DIR'
export ZIG_LOCAL_CACHE_DIR='$ZIG_LOCAL_CACHE_DIR'
link=yes
shared=no
for arg in "\$@"; do
    case \$arg in
        -c|-S|-E|-M|-MM|-fsyntax-only|-v|--version|-dumpmachine|-dumpversion|-print-*|--print-*) link=no ;;
        -shared) shared=yes ;;
    esac
done
if [ \$link = no ]; then
    exec '$I686_ZIG' $driver -target x86-linux-musl -fPIC "\$@"
fi
pie='-pie -dynamic'
[ \$shared = yes ] && pie=
exec '$I686_ZIG' $driver -target x86-linux-musl -fPIC \$pie \\
    -Wl,--dynamic-linker='$I686_LOADER' -Wl,-rpath,'$I686_SYSROOT/lib' \\
    -Wl,-z,nocopyreloc "\$@"
EOF
}
mkdir -p "$I686_CACHE/bin"
for pair in "cc:$I686_CC" "c++:$I686_CXX"; do
    driver=${pair%%:*} path=${pair#*:}
    if [[ ! -f $path || $(cat "$path") != "$(wrapper_text "$driver")" ]]; then
        wrapper_text "$driver" >"$path.new"
        chmod +x "$path.new"
        mv "$path.new" "$path"
    fi
done

# A smoke test: a C++ program that runs with the target's loader and loads
# a shared library.
check_pins="$ZIG_VERSION $MUSL_VERSION $(cat "$I686_CC" "$I686_CXX" | sha256sum | cut -c1-16)"
if ! i686_done toolchain-check "$check_pins"; then
    i686_log "checking the toolchain (the first use builds zig's libc++ for the target)"
    work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-zig.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    printf '%s\n' '#include <cstdio>' '#include <string>' '#include <dlfcn.h>' \
        'int main() { std::string s = "i686"; void* c = dlopen("libc.so", RTLD_NOW);' \
        '  std::printf("%s %zu %s\n", s.c_str(), sizeof(void*), c ? "dlopen" : dlerror()); }' \
        >"$work/check.cpp"
    i686_run "$log" "$I686_CXX" -O2 "$work/check.cpp" -o "$work/check"
    [[ $("$work/check") == "i686 4 dlopen" ]] \
        || i686_die "a test program for the target does not run: $("$work/check" 2>&1)"
    rm -rf "$work"
    trap - EXIT
    i686_mark toolchain-check "$check_pins"
fi
i686_log "toolchain ready: $I686_CC, $I686_CXX"
