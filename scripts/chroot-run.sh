#!/usr/bin/env bash
# Runs a command inside a Debian root directory made by scripts/python-sid.sh.
#
#   scripts/chroot-run.sh ROOT [--bind DIR]... [--pip-settings] [--cd DIR] -- COMMAND [ARGS...]
#
# The command runs in a private mount namespace: /proc, /dev and every
# --bind DIR are mounted into the root at the same paths as outside, so
# paths under them mean the same thing on both sides, and the mounts vanish
# with the command (nothing is left mounted, even when it is killed). With
# --pip-settings the machine's pip configuration and the certificate files
# its variables name are mounted too (never for apt: the root's own
# ca-certificates package rewrites its bundle). The environment is kept,
# except PATH, HOME and TMPDIR, which are the root's own.
# Needs root (or the rights to unshare a mount namespace and chroot).
set -euo pipefail

die() { printf 'chroot-run: %s\n' "$*" >&2; exit 1; }

(($# >= 1)) || die "usage: chroot-run.sh ROOT [--bind DIR]... [--cd DIR] -- COMMAND..."
root=$(cd "$1" && pwd) || die "no root directory $1"
shift
extra=()
pip_settings=0
cwd=/
while (($#)); do
    case $1 in
        --bind) extra+=("$(cd "$2" && pwd)"); shift 2 ;;
        --cd)   cwd=$2; shift 2 ;;
        --pip-settings) pip_settings=1; shift ;;
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
    ((pip_settings)) && args+=(--pip-settings)
    QUORVANE_IN_NAMESPACE=1 exec unshare --mount --propagation private -- \
        "$BASH" "${BASH_SOURCE[0]}" "$root" "${args[@]}" --cd "$cwd" -- "$@"
fi
unset QUORVANE_IN_NAMESPACE

for b in /proc /dev "${extra[@]}"; do
    mkdir -p "$root$b"
    mount --rbind "$b" "$root$b"
done

# --pip-settings: the machine's settings for reaching package indexes, so
# that pip inside behaves as pip outside: the files that certificate and pip
# variables name, and pip's configuration files, each at its own path.
share_pip_settings() {
    local shared=() var value conf path
    local user_conf="${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf"
    for var in SSL_CERT_FILE SSL_CERT_DIR REQUESTS_CA_BUNDLE CURL_CA_BUNDLE PIP_CERT \
               PIP_CLIENT_CERT PIP_FIND_LINKS PIP_CONFIG_FILE; do
        value=${!var:-}
        [[ $value == /* && -e $value ]] && shared+=("$value")
    done
    for conf in /etc/pip.conf /etc/xdg/pip/pip.conf "$user_conf" "${PIP_CONFIG_FILE:-}"; do
        [[ -n $conf && -f $conf ]] || continue
        shared+=("$conf")
        # Files and directories the configuration names (a certificate
        # bundle, a constraints file, a directory of wheels).
        while read -r value; do
            [[ $value == /* && -e $value ]] && shared+=("$value")
        done < <(sed -n 's/^[^#;=]*=[[:space:]]*//p' "$conf" | tr -s ' \t' '\n\n')
    done
    for path in "${shared[@]}"; do
        if [[ -d $path ]]; then
            mkdir -p "$root$path"
        else
            mkdir -p "$root$(dirname "$path")"
            [[ -e $root$path ]] || : >"$root$path"
        fi
        mount --bind "$path" "$root$path"
    done
    # HOME is the root's own inside, so the user's configuration is named.
    if [[ -z ${PIP_CONFIG_FILE:-} && -f $user_conf ]]; then
        export PIP_CONFIG_FILE=$user_conf
    fi
}
((pip_settings)) && share_pip_settings
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
unset TMPDIR
exec chroot "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$cwd" "$@"
