#!/usr/bin/env bash
# Print the versions among "$@" (X.Y ...) whose interpreter is found, on one
# line; say on stderr which are not found and how to name them.
#
#   scripts/found-pythons.sh 3.8 3.14 3.15   ->  3.8 3.14
#
# An interpreter is named per version with PY<major><minor> (PY314=...), as
# for scripts/setup.sh.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
found=()
for ver in "$@"; do
    var="PY${ver//./}"
    if SARN_PYTHON="${!var:-}" "$root/scripts/find-python.sh" "$ver" >/dev/null 2>&1; then
        found+=("$ver")
    else
        printf 'Python %s not found: not tested (name one with %s=/path/to/python%s)\n' "$ver" "$var" "$ver" >&2
    fi
done
echo "${found[*]}"
