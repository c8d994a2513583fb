#!/usr/bin/env bash
# Installs this machine's build tools for the 32-bit x86 musl target and
# downloads every source and wheel it needs into the cache (common.sh), each
# checked against its pinned SHA-256 or version.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/common.sh"

downloads=$I686_CACHE/downloads
mkdir -p "$downloads" "$I686_WHEELS"
log=$I686_CACHE/fetch.log
: >"$log"

# --- Debian packages for the host's side of the builds.
# musl is built with the host's gcc -m32 (libgcc for 32-bit x86); libffi's
# tarball needs autoreconf (with libltdl's macros); meson-python wants patchelf.
gcc_major=$(gcc -dumpversion 2>/dev/null | cut -d. -f1) || i686_die "needs gcc"
host_packages=(make pkg-config "lib32gcc-$gcc_major-dev" autoconf automake libtool libltdl-dev xz-utils curl dpkg-dev patchelf)
missing=()
for p in "${host_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if ((${#missing[@]})); then
    i686_log "installing ${missing[*]}"
    i686_run "$log" i686_as_root apt-get update
    i686_run "$log" i686_as_root apt-get install -y --no-install-recommends "${missing[@]}"
fi

# --- Debian trixie's source tarballs, by the URIs apt prints for them.
debian_orig() {
    local package=$1 file=$2 sha=$3 uri
    i686_sha256_ok "$downloads/$file" "$sha" && return 0
    uri=$(apt-get source --print-uris "$package/trixie" 2>>"$log" \
        | awk -v f="$file" '$2 == f { gsub(/\047/, "", $1); print $1 }')
    [[ -n $uri ]] || return 1
    i686_log "downloading $file"
    i686_run "$log" curl -fsSL --retry 3 -o "$downloads/$file.part" "$uri"
    mv "$downloads/$file.part" "$downloads/$file"
    i686_sha256_ok "$downloads/$file" "$sha" || i686_die "$file does not have the pinned SHA-256"
}
sources=(musl "$MUSL_ORIG" "$MUSL_SHA256"
         libffi "$LIBFFI_ORIG" "$LIBFFI_SHA256"
         zlib "$ZLIB_ORIG" "$ZLIB_SHA256"
         python3.13 "$PYTHON_ORIG" "$PYTHON_SHA256")
need_index=0
for ((i = 0; i < ${#sources[@]}; i += 3)); do
    i686_sha256_ok "$downloads/${sources[i + 1]}" "${sources[i + 2]}" || need_index=1
done
if ((need_index)); then
    # apt needs trixie's source index; python-ft.sh sets it up the same way.
    if ! apt-get source --print-uris musl/trixie >/dev/null 2>&1; then
        i686_run "$log" bash "$here/../trixie-src.sh"
        i686_run "$log" i686_as_root apt-get update
    fi
    for ((i = 0; i < ${#sources[@]}; i += 3)); do
        debian_orig "${sources[@]:i:3}" \
            || i686_die "trixie's ${sources[i]} no longer has ${sources[i + 1]}: update the pin in common.sh"
    done
fi

# --- Wheels, with this machine's pip.
pip_download() {
    i686_run "$log" python3 -m pip download -q --disable-pip-version-check --no-deps \
        --only-binary=:all: "$@"
}
host_tools=("ziglang==$ZIG_VERSION" "cmake==$CMAKE_VERSION" "ninja==$NINJA_VERSION")
if ! i686_done fetch-host-tools "${host_tools[*]}"; then
    i686_log "downloading ${host_tools[*]}"
    pip_download -d "$downloads" "${host_tools[@]}"
    i686_mark fetch-host-tools "${host_tools[*]}"
fi
if ! i686_done fetch-wheels "${TARGET_WHEELS[*]}"; then
    i686_log "downloading the target's pure-Python wheels"
    pip_download -d "$I686_WHEELS" --platform any --implementation py --abi none \
        --python-version 3.13 "${TARGET_WHEELS[@]}"
    i686_mark fetch-wheels "${TARGET_WHEELS[*]}"
fi

# --- NumPy's source distribution: the file itself. (pip download would
# prepare its metadata first, which runs a meson set-up: minutes.)
if ! i686_sha256_ok "$downloads/$NUMPY_SDIST" "$NUMPY_SHA256"; then
    i686_log "downloading $NUMPY_SDIST"
    i686_run "$log" python3 - "$downloads" "$NUMPY_SDIST" <<'EOF'
import json, os, subprocess, sys, urllib.request
folder, name = sys.argv[1:]
# The index pip is configured with, else pip's own default.
index = os.environ.get("PIP_INDEX_URL") or subprocess.run(
    [sys.executable, "-m", "pip", "config", "get", "global.index-url"],
    capture_output=True, text=True).stdout.strip()
if not index:
    from pip._internal.models.index import PyPI
    index = PyPI.simple_url
request = urllib.request.Request(index.rstrip("/") + "/numpy/",
                                 headers={"Accept": "application/vnd.pypi.simple.v1+json"})
with urllib.request.urlopen(request, timeout=120) as reply:
    files = json.load(reply)["files"]
url = next(f["url"] for f in files if f["filename"] == name)
urllib.request.urlretrieve(url, os.path.join(folder, name + ".part"))
os.replace(os.path.join(folder, name + ".part"), os.path.join(folder, name))
EOF
    i686_sha256_ok "$downloads/$NUMPY_SDIST" "$NUMPY_SHA256" \
        || i686_die "$NUMPY_SDIST does not have the pinned SHA-256"
fi
i686_log "downloads complete"
