# Functions shared by scripts/test.sh and the special legs in scripts/legs/.
# Source it: . "$repo/scripts/leg-lib.sh"

# explain_failure LOG: the few lines of LOG that say why a step failed (the
# compiler's or CMake's errors, pip's resolution errors, a Python traceback's
# last line), or its last lines when none is recognised; then the log's path.
explain_failure() {
    local log=$1 lines
    lines=$(grep -E -m 12 -A 3 \
        -e ': (fatal )?error:' -e 'undefined reference' -e 'CMake Error' \
        "$log" 2>/dev/null | cut -c 1-300 | head -n 30)
    if [[ -z $lines ]]; then
        lines=$(grep -E \
            -e '^[[:space:]]*ERROR: ' -e 'ResolutionImpossible' -e 'requires a different Python' \
            -e 'No matching distribution' -e 'conflict' \
            -e '^[[:space:]]*[A-Za-z.]*(Error|Exception): ' -e '^E: ' -e '^[[:space:]]*error: ' \
            "$log" 2>/dev/null | grep -v 'ERROR: Exception:$' | cut -c 1-300 | head -n 15)
    fi
    if [[ -z $lines ]]; then
        lines=$(tail -n 15 "$log" 2>/dev/null | cut -c 1-300)
    fi
    printf '%s\n' "$lines" | sed 's/^/    /'
    printf '    (full log: %s)\n' "$log"
}

# quietly LOG COMMAND...: runs COMMAND with its output in LOG; on failure
# says which command failed and why.
quietly() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        printf 'failed: %s\n' "$*"
        explain_failure "$log"
        return 1
    fi
}

# count_reports XML...: "passed failed skipped" summed over pytest's junit
# reports (errors count as failures); missing files count nothing.
count_reports() {
    local files=() f
    for f in "$@"; do [[ -f $f ]] && files+=("$f"); done
    if ((${#files[@]} == 0)); then
        echo "0 0 0"
        return
    fi
    awk '
        function attr(tag, name,   m) {
            if (!match(tag, " " name "=\"[0-9]+\"")) return 0
            m = substr(tag, RSTART, RLENGTH)
            gsub(/[^0-9]/, "", m)
            return m + 0
        }
        {
            line = $0
            while (match(line, /<testsuite [^>]*>/)) {
                tag = substr(line, RSTART, RLENGTH)
                line = substr(line, RSTART + RLENGTH)
                bad = attr(tag, "failures") + attr(tag, "errors")
                skip = attr(tag, "skipped")
                passed += attr(tag, "tests") - bad - skip
                failed += bad
                skipped += skip
            }
        }
        END { print passed + 0, failed + 0, skipped + 0 }
    ' "${files[@]}"
}
