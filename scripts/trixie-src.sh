#!/usr/bin/env bash
# Adds Debian trixie's source index (deb-src only, so no installed binary
# package can be upgraded from it) on the mirror apt already uses, as
# /etc/apt/sources.list.d/quorvane-trixie-src.sources (.list where apt uses
# the older format). Leaves the file as it is when it already says the same.
# Needs root, or sudo that asks no password. Does not run apt-get update.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [[ $(id -u) -eq 0 ]]; then
    as_root() { "$@"; }
else
    as_root() { sudo -n "$@"; }
fi

mirror=$(bash "$here/debian-mirror.sh") || {
    echo "trixie-src: could not find the Debian mirror in the apt sources" >&2
    exit 1
}

if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
    src_file=/etc/apt/sources.list.d/quorvane-trixie-src.sources
    src_text="Types: deb-src
URIs: $mirror
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"
else
    src_file=/etc/apt/sources.list.d/quorvane-trixie-src.list
    src_text="deb-src $mirror trixie main
"
fi
if [[ ! -f "$src_file" ]] || [[ "$(cat "$src_file")"$'\n' != "$src_text" ]]; then
    echo "trixie-src: adding trixie source index ($src_file)" >&2
    printf '%s' "$src_text" | as_root tee "$src_file" >/dev/null
fi
