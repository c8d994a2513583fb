#!/usr/bin/env bash
# Prints the URI of the Debian mirror this machine's apt already uses for the
# main archive (not a -security or -updates side suite), without a trailing
# slash. Exits 1 when the apt sources name none.
set -euo pipefail

for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" ]] || continue
    # deb822 stanzas: take the URIs of a stanza whose Suites name a release.
    uri=$(awk '
        function take() { if (u != "" && s && !found) { print u; found = 1 } u = ""; s = 0 }
        /^[[:space:]]*$/ { take(); next }
        /^URIs:/   { u = $2 }
        /^Suites:/ { for (i = 2; i <= NF; i++) if ($i !~ /-/) s = 1 }
        END { take() }
    ' "$f")
    if [[ -n "$uri" ]]; then printf '%s\n' "${uri%/}"; exit 0; fi
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
    if [[ -n "$uri" ]]; then printf '%s\n' "${uri%/}"; exit 0; fi
done
echo "debian-mirror: no Debian mirror found in the apt sources" >&2
exit 1
