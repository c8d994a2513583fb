#!/usr/bin/env bash
# Runs a command inside a Debian root directory made by scripts/python-sid.sh.
#
#   scripts/chroot-run.sh ROOT [--bind DIR]... [--cd DIR] -- COMMAND [ARGS...]
#
# The command runs in a private mount namespace: /proc, /dev and every
# --bind DIR are mounted into the root at the same paths as outside, so
# paths under them mean the same thing on both sides, and the mounts vanish
# with the command (nothing is left mounted, even when it is killed). The
# environment is kept, except PATH and HOME, which are the root's own.
# Needs root (or the rights to unshare a mount namespace and chroot).
set -euo pipefail

die() { printf 'chroot-run: %s\n' "$*" >&2; exit 1; }

(($# >= 1)) || die "usage: chroot-run.sh ROOT [--bind DIR]... [--cd DIR] -- COMMAND..."
root=$(cd "$1" && pwd) || die "no root directory $1"
shift
extra=()
cwd=/
while (($#)); do
    case $1 in
        --bind) extra+=("$(cd "$2" && pwd)"); shift 2 ;;
        --cd)   cwd=$2; shift 2 ;;
        --)     shift; break ;;
        *)      die "unknown option $1" ;;
    esac
done
(($#)) || die "no command given"

if [[ -z ${QUORVANE_IN_NAMESPACE:-} ]]; then
    [[ $(id -u) -eq 0 ]] || die "running a command in a chroot needs root"
    # Name resolution for pip inside the root.
    if [[ -f /etc/resolv.conf ]]; then
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    fi
    args=()
    for b in "${extra[@]}"; do args+=(--bind "$b"); done
    QUORVANE_IN_NAMESPACE=1 exec unshare --mount --propagation private -- \
        "$BASH" "${BASH_SOURCE[0]}" "$root" "${args[@]}" --cd "$cwd" -- "$@"
fi
unset QUORVANE_IN_NAMESPACE

for b in /proc /dev "${extra[@]}"; do
    mkdir -p "$root$b"
    mount --rbind "$b" "$root$b"
done
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
exec chroot "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
