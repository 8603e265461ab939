#!/usr/bin/env bash
# Print the path of a working CPython interpreter.
#
#   scripts/find-python.sh 3.8      one of that minor version
#   scripts/find-python.sh 3.14t    a free-threaded build of that version
#   scripts/find-python.sh any      the newest supported version found,
#                                   3.15 down to 3.8
#
# $SARN_PYTHON, when set, is the only candidate (it must be a supported
# version, and the wanted one if a version is given). Otherwise, first
# working one wins:
#   1. pythonX.Y on PATH (a pyenv shim may exist yet refuse to run: it is tried)
#   2. $(pyenv root)/versions/X.Y.*/bin/pythonX.Y, newest patch release first
#   3. /opt/cpython/X.Y/bin/pythonX.Y (where newer interpreters are
#      installed on development machines)
#   4. /usr/local/bin/pythonX.Y, /usr/bin/pythonX.Y
# Exits 1 with the list of what was tried on stderr when none is found;
# the caller says which setting names an interpreter.
set -euo pipefail

want="${1:?usage: find-python.sh X.Y|any}"
# Newest first: "any" takes the first found (never a free-threaded build).
supported=(3.15 3.14 3.13 3.12 3.11 3.10 3.9 3.8)
free_threaded=(3.14t)

# Prints major.minor of interpreter "$1" when it runs, with a "t" for a
# free-threaded build.
version_of() {
    "$1" -c 'import sys, sysconfig
print("%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))' \
        2>/dev/null
}

is_supported() {
    local v
    for v in "${supported[@]}" "${free_threaded[@]}"; do [ "$v" = "$1" ] && return 0; done
    return 1
}

# Resolve a candidate to an absolute path of the real interpreter, so that a
# shim or a symlink recorded in a venv keeps pointing at the same thing.
resolve() {
    "$1" -c 'import sys; print(sys.executable)'
}

if [ -n "${SARN_PYTHON:-}" ]; then
    got="$(version_of "$SARN_PYTHON" || true)"
    if [ -n "$got" ] && is_supported "$got" && { [ "$want" = any ] || [ "$got" = "$want" ]; }; then
        resolve "$SARN_PYTHON"
        exit 0
    fi
    if [ "$want" = any ]; then want="3.8 to 3.15"; fi
    echo "find-python: $SARN_PYTHON is not a working Python $want (it reports: ${got:-nothing})" >&2
    exit 1
fi

pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
    pyenv_root="$(pyenv root 2>/dev/null || true)"
fi
if [ -z "$pyenv_root" ]; then
    home="${HOME:-$(getent passwd "$(id -u)" 2>/dev/null | cut -d: -f6)}"
    pyenv_root="${PYENV_ROOT:-$home/.pyenv}"
fi

tried=()
# Prints the first working interpreter of version "$1"; fails if none.
find_version() {
    local ver="$1" c
    local candidates=()
    if command -v "python$ver" >/dev/null 2>&1; then
        candidates+=("$(command -v "python$ver")")
    fi
    if [ -d "$pyenv_root/versions" ]; then
        # Only plain releases (X.Y.Z), newest first.
        while IFS= read -r dir; do
            candidates+=("$dir/bin/python$ver")
        done < <(find "$pyenv_root/versions" -mindepth 1 -maxdepth 1 \
                     -regex ".*/${ver//./\\.}\.[0-9]+" 2>/dev/null | sort -rV)
    fi
    candidates+=("/opt/cpython/$ver/bin/python$ver" "/usr/local/bin/python$ver" "/usr/bin/python$ver")
    for c in "${candidates[@]}"; do
        if [ -x "$c" ] && [ "$(version_of "$c" || true)" = "$ver" ]; then
            resolve "$c"
            return 0
        fi
    done
    tried+=("${candidates[@]}")
    return 1
}

if [ "$want" = any ]; then
    for v in "${supported[@]}"; do
        find_version "$v" && exit 0
    done
    echo "find-python: no CPython 3.8 to 3.15 found (tried: ${tried[*]})" >&2
else
    find_version "$want" && exit 0
    echo "find-python: no working Python $want found (tried: ${tried[*]})" >&2
fi
exit 1
