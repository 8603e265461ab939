#!/usr/bin/env bash
# Print the path of a working CPython interpreter of the given minor version.
#
#   scripts/find-python.sh 3.8
#
# Candidates, first working one wins:
#   1. $SARN_PYTHON, if set (an explicit choice; it must be the right version)
#   2. pythonX.Y on PATH (a pyenv shim may exist yet refuse to run: it is tried)
#   3. $(pyenv root)/versions/X.Y.*/bin/pythonX.Y, newest patch release first
#   4. /usr/local/bin/pythonX.Y, /usr/bin/pythonX.Y
# Exits 1 with a message on stderr when none is found.
set -euo pipefail

want="${1:?usage: find-python.sh X.Y}"

# Succeeds when "$1" runs and reports exactly the wanted major.minor.
works() {
    local got
    got="$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" || return 1
    [ "$got" = "$want" ]
}

# Resolve a candidate to an absolute path of the real interpreter, so that a
# shim or a symlink recorded in a venv keeps pointing at the same thing.
resolve() {
    "$1" -c 'import sys; print(sys.executable)'
}

if [ -n "${SARN_PYTHON:-}" ]; then
    if works "$SARN_PYTHON"; then
        resolve "$SARN_PYTHON"
        exit 0
    fi
    echo "find-python: $SARN_PYTHON is not a working Python $want" >&2
    exit 1
fi

candidates=()
if command -v "python$want" >/dev/null 2>&1; then
    candidates+=("$(command -v "python$want")")
fi

pyenv_root=""
if command -v pyenv >/dev/null 2>&1; then
    pyenv_root="$(pyenv root 2>/dev/null || true)"
fi
if [ -z "$pyenv_root" ]; then
    home="${HOME:-$(getent passwd "$(id -u)" 2>/dev/null | cut -d: -f6)}"
    pyenv_root="${PYENV_ROOT:-$home/.pyenv}"
fi
if [ -d "$pyenv_root/versions" ]; then
    # Only plain releases (X.Y.Z), newest first.
    while IFS= read -r dir; do
        candidates+=("$dir/bin/python$want")
    done < <(find "$pyenv_root/versions" -mindepth 1 -maxdepth 1 \
                 -regex ".*/${want//./\\.}\.[0-9]+" 2>/dev/null | sort -rV)
fi

candidates+=("/usr/local/bin/python$want" "/usr/bin/python$want")

for c in "${candidates[@]}"; do
    if [ -x "$c" ] && works "$c"; then
        resolve "$c"
        exit 0
    fi
done

echo "find-python: no working Python $want found (tried: ${candidates[*]})" >&2
echo "find-python: install it (e.g. 'pyenv install $want') or pass its path in SARN_PYTHON" >&2
exit 1
