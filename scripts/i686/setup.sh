#!/usr/bin/env bash
# Sets up the 32-bit x86 Linux musl target in the cache (see common.sh for
# the layout): downloads, toolchain, free-threaded CPython 3.13 and NumPy.
# Each step is skipped when it is already done with the same pins, so a warm
# run takes seconds. Progress goes to stderr; the only line on stdout is the
# target interpreter's path.
#
# The first run takes about 10 minutes on a quiet machine with 2 cores (zig
# builds its libc++ for the target, then CPython and NumPy are compiled).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/common.sh"

mkdir -p "$I686_CACHE"
exec 9>"$I686_CACHE/setup.lock"
if ! flock -n 9; then
    i686_log "another set-up of the i686 target is running; waiting for it"
    flock 9
fi

for step in fetch toolchain python numpy; do
    bash "$here/$step.sh" >&2
done
printf '%s\n' "$I686_PYTHON"
