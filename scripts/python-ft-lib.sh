# Sourced by python-ft.sh and python-ft-build.sh: what counts as a usable
# free-threaded interpreter.

# True when "$1" runs and is a free-threaded CPython >= 3.13.
is_free_threaded() {
    local py=$1
    [[ -n "$py" && -x "$py" ]] || return 1
    "$py" - <<'EOF' >/dev/null 2>&1
import sys, sysconfig
ok = sys.version_info >= (3, 13) and sysconfig.get_config_var("Py_GIL_DISABLED") == 1
sys.exit(0 if ok else 1)
EOF
}

# True when "$1" is free-threaded and complete enough to make venvs and
# install packages over HTTPS.
is_usable() {
    local py=$1
    is_free_threaded "$py" || return 1
    "$py" -c 'import ssl, zlib, ctypes, bz2, lzma, sqlite3, venv, ensurepip' \
        >/dev/null 2>&1 || return 1
    "$py" -m pip --version >/dev/null 2>&1
}
