#!/usr/bin/env bash
# A NumPy wheel for the 32-bit x86 musl target, built from its source
# distribution with the target's interpreter, into the cache's wheels/
# (common.sh). Needs python.sh first.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/common.sh"

log=$I686_CACHE/numpy.log
[[ -x $I686_PYTHON ]] || i686_die "no interpreter: run python.sh first"

numpy_pins="numpy $NUMPY_VERSION $(cat "$I686_CACHE/stamps/python") ${TARGET_WHEELS[*]}"
shopt -s nullglob
built=("$I686_WHEELS"/numpy-"$NUMPY_VERSION"-*.whl)
shopt -u nullglob
if ((${#built[@]} == 1)) && i686_done numpy "$numpy_pins"; then
    i686_log "NumPy ready: ${built[0]}"
    exit 0
fi

: >"$log"
i686_log "building NumPy $NUMPY_VERSION from source (a few minutes)"
rm -f "$I686_WHEELS"/numpy-*.whl
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-numpy.XXXXXX")
trap 'rm -rf "$work"' EXIT
# No BLAS for the target (NumPy's own fallbacks serve); one baseline of CPU
# features, no dispatched variants: a shorter build.
i686_run "$log" env CC="$I686_CC" CXX="$I686_CXX" \
    "$I686_PYTHON" -m pip wheel -v --no-index --find-links "$I686_WHEELS" --no-deps \
    --wheel-dir "$work" \
    -Csetup-args=-Dallow-noblas=true -Csetup-args=-Dcpu-dispatch=none \
    "$I686_CACHE/downloads/$NUMPY_SDIST"
wheels=("$work"/numpy-*.whl)
((${#wheels[@]} == 1)) || i686_die "the NumPy build made no wheel (log: $log)"
mv "${wheels[0]}" "$I686_WHEELS/"
i686_mark numpy "$numpy_pins"
i686_log "NumPy ready: $I686_WHEELS/$(basename "${wheels[0]}")"
