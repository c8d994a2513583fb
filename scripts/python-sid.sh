#!/usr/bin/env bash
# Prints a Debian sid root directory that has CPython X.Y ("$1", e.g. 3.15)
# with venv, its headers and g++, and the interpreter's path inside it: two
# lines, the root first. Run the interpreter with scripts/chroot-run.sh.
#
# This is how the test command reaches the CPython releases that neither
# the machine nor PyPI carries. The root is made once with
#   debootstrap --variant=minbase sid ROOT MIRROR
# (MIRROR is the one this machine's apt already uses) and kept in
# ${XDG_CACHE_HOME:-$HOME/.cache}/quorvane/debian-sid; the packages of each
# version are added to it the first time that version is asked for. Delete
# the directory to get sid's current packages. Needs root and apt-get.
# Progress goes to stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
log() { printf 'python-sid: %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

(($# == 1)) && [[ $1 =~ ^3\.[0-9]+$ ]] || die "usage: python-sid.sh 3.Y"
want=$1
cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/quorvane"
root="$cache_root/debian-sid"
python="/usr/bin/python$want"
build_log="$cache_root/debian-sid-python$want.log"

packages=("python$want" "python$want-venv" "python$want-dev" g++)

# True when the root has every package a leg needs for this version, fully
# installed (an interrupted or failed install leaves them half done).
is_ready() {
    [[ -x "$root$python" && -f "$root/var/lib/dpkg/status" ]] || return 1
    local p state
    for p in "${packages[@]}"; do
        state=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$p" 2>/dev/null) \
            || return 1
        [[ $state == "install ok installed" ]] || return 1
    done
    # and nothing else left unconfigured
    ! grep -q '^Status: .* \(half-configured\|unpacked\|half-installed\)$' "$root/var/lib/dpkg/status"
}
found() { printf '%s\n%s\n' "$root" "$python"; exit 0; }

is_ready && found

[[ $(id -u) -eq 0 ]] || die "making the Debian sid root needs root (CPython $want comes from it)"
command -v apt-get >/dev/null 2>&1 || die "making the Debian sid root needs apt-get and debootstrap"

# One maker at a time: a second caller waits for the first.
mkdir -p "$cache_root"
exec 9>"$cache_root/debian-sid.lock"
if ! flock -n 9; then
    log "the Debian sid root is being prepared by another run; waiting for it"
    flock 9
fi
is_ready && found

: >"$build_log"
# Runs a command with its output in the log; on failure shows the lines
# that say why, then where the whole log is.
run_logged() {
    if ! "$@" >>"$build_log" 2>&1; then
        log "failed: $*"
        grep -E '^(E|W): |[Ee]rror|[Ff]ailed|Unable|not found|unavailable' "$build_log" \
            | tail -n 12 >&2 || true
        log "full log: $build_log"
        exit 1
    fi
}
export DEBIAN_FRONTEND=noninteractive

if [[ ! -x "$root/usr/bin/apt-get" ]]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
        log "installing debootstrap"
        # The machine's apt, one user at a time: the free-threaded build
        # may be installing its packages.
        run_logged flock "$cache_root/host-apt.lock" apt-get -o DPkg::Lock::Timeout=900 update
        run_logged flock "$cache_root/host-apt.lock" apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends debootstrap
    fi
    mirror=$(bash "$here/debian-mirror.sh") || die "no Debian mirror in the apt sources"
    log "debootstrap --variant=minbase sid from $mirror (log: $build_log)"
    rm -rf "$root.new"
    run_logged debootstrap --variant=minbase sid "$root.new" "$mirror"
    rm -rf "$root"
    mv "$root.new" "$root"
fi

# The machine's mirror may be a snapshot whose Release files are past their
# Valid-Until date; apt on the machine is then told not to check it, and so
# is apt in the root.
check_valid=""
eval "$(apt-config shell check_valid Acquire::Check-Valid-Until 2>/dev/null)" || true
if [[ -n $check_valid ]]; then
    printf 'Acquire::Check-Valid-Until "%s";\n' "$check_valid" \
        >"$root/etc/apt/apt.conf.d/99quorvane-from-host"
fi

log "installing ${packages[*]} in the sid root (log: $build_log)"
run_logged bash "$here/chroot-run.sh" "$root" -- apt-get update
# Finish what an interrupted install left half done.
run_logged bash "$here/chroot-run.sh" "$root" -- dpkg --configure -a
run_logged bash "$here/chroot-run.sh" "$root" -- \
    apt-get install -y --no-install-recommends "${packages[@]}"
run_logged bash "$here/chroot-run.sh" "$root" -- apt-get clean
is_ready || die "the sid root still lacks CPython $want after the install"
log "ready: $python in $root"
found
