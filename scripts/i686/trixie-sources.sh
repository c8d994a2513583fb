#!/usr/bin/env bash
# Adds Debian trixie's source index (deb-src only, so no installed binary
# package can be upgraded from it) on the mirror apt already uses. The same
# file as python-ft.sh writes.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/common.sh"

# The mirror this machine already uses for Debian's main archive.
debian_mirror() {
    local f uri
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f "$f" ]] || continue
        # deb822 stanzas: take the URIs of a stanza whose Suites name a
        # release (not its -security / -updates side suites).
        uri=$(awk '
            function take() { if (u != "" && s && !found) { print u; found = 1 } u = ""; s = 0 }
            /^[[:space:]]*$/ { take(); next }
            /^URIs:/   { u = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i !~ /-/) s = 1 }
            END { take() }
        ' "$f")
        if [[ -n "$uri" ]]; then printf '%s\n' "${uri%/}"; return 0; fi
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f "$f" ]] || continue
        uri=$(awk '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) !~ /-/) { print $i; exit }
            }
        ' "$f")
        if [[ -n "$uri" ]]; then printf '%s\n' "${uri%/}"; return 0; fi
    done
    return 1
}

mirror=$(debian_mirror) || i686_die "could not find the Debian mirror in the apt sources"

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
    i686_log "adding trixie source index ($src_file)"
    printf '%s' "$src_text" | i686_as_root tee "$src_file" >/dev/null
fi
