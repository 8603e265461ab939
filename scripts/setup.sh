#!/usr/bin/env bash
# Prepare a development environment: system packages, then one venv per
# requested interpreter with sarn installed into it (non-editable).
#
#   scripts/setup.sh 3.8 3.12        -> .venv/py3.8, .venv/py3.12
#   scripts/setup.sh --asan 3.8      -> .venv/asan3.8 (ASan+UBSan build)
#   scripts/setup.sh --system-only   -> only the system packages
#
# Interpreters are found by scripts/find-python.sh; PY38, PY312 (or, in
# general, PY<major><minor>) name one explicitly. Idempotent: a venv that is
# up to date with the sources is left alone, so a repeated run takes well
# under a second.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

asan=0
system_only=0
versions=()
for arg in "$@"; do
    case "$arg" in
        --asan) asan=1 ;;
        --system-only) system_only=1 ;;
        -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
        [0-9].[0-9]*) versions+=("$arg") ;;
        *) die "unknown argument: $arg" ;;
    esac
done
[ "$system_only" = 1 ] || [ "${#versions[@]}" -gt 0 ] || die "usage: setup.sh [--asan] X.Y..."

# --------------------------------------------------------------------------
# System packages (Debian names).
missing=()
need_header() { [ -f "$1" ] || missing+=("$2"); }
need_tool() { "$1" --version >/dev/null 2>&1 || missing+=("$2"); }
need_header /usr/include/msgpack.hpp libmsgpack-cxx-dev
need_header /usr/include/gtest/gtest.h libgtest-dev
need_header /usr/include/openssl/evp.h libssl-dev
need_tool cmake cmake
need_tool g++ g++
need_tool make make

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        say "installing system packages: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q
        apt-get install -y -q --no-install-recommends \
            libmsgpack-cxx-dev libgtest-dev libssl-dev cmake g++ make
    else
        die "missing system packages: ${missing[*]}
       install them first, e.g.:
         sudo apt-get install libmsgpack-cxx-dev libgtest-dev libssl-dev cmake g++ make"
    fi
fi
[ "$system_only" = 1 ] && exit 0

# --------------------------------------------------------------------------
# Build tools for installs without build isolation: the backend named in
# pyproject.toml, plus ninja.
build_reqs=()
reqs_line="$(sed -n 's/^requires *= *\[\(.*\)\]/\1/p' pyproject.toml)"
while IFS= read -r req; do
    build_reqs+=("$req")
done < <(printf '%s\n' "$reqs_line" | grep -o '"[^"]*"' | tr -d '"')
[ "${#build_reqs[@]}" -gt 0 ] || die "cannot read build-system.requires from pyproject.toml"
build_reqs+=("ninja")

# A fingerprint of everything that goes into the installed package.
sources_hash() {
    {
        find src python CMakeLists.txt pyproject.toml -type f \
             ! -name '*.pyc' ! -name '*.so' ! -path '*/__pycache__/*' -print0 2>/dev/null \
            | sort -z | xargs -0 -r sha1sum
        printf 'asan=%s\n' "$asan"
    } | sha1sum | cut -d' ' -f1
}

setup_one() {
    local ver="$1" var py venv kind
    var="PY${ver//./}"
    if [ "$asan" = 1 ]; then kind="asan"; else kind="py"; fi
    venv="$root/.venv/$kind$ver"

    # One setup at a time per venv, should two runs overlap in one tree.
    mkdir -p "$root/.venv"
    exec 9>"$root/.venv/.$kind$ver.lock"
    flock 9 || die "cannot lock $root/.venv/.$kind$ver.lock"

    py="$(SARN_PYTHON="${!var:-}" "$root/scripts/find-python.sh" "$ver")" \
        || die "Python $ver is required (set $var=/path/to/python$ver)"

    # (Re)create the venv when it is missing, broken, or made from another
    # interpreter.
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.sarn-base" 2>/dev/null)" != "$py" ] \
            || ! "$venv/bin/python" -c '' 2>/dev/null; then
        say "creating $venv from $py"
        rm -rf "$venv"
        "$py" -m venv "$venv" || die "cannot create a venv with $py (is its venv module installed?)"
        printf '%s\n' "$py" >"$venv/.sarn-base"
    fi
    local vpy="$venv/bin/python"
    local pip=("$vpy" -m pip --disable-pip-version-check -q)

    # Build tools and test requirements, once per venv and list of tools.
    local tools="${build_reqs[*]} pytest msgpack"
    if [ "$(cat "$venv/.sarn-tools" 2>/dev/null)" != "$tools" ]; then
        say "[$kind$ver] installing pip, build tools and test requirements"
        "${pip[@]}" install --upgrade pip
        "${pip[@]}" install --upgrade "${build_reqs[@]}" pytest msgpack
        printf '%s' "$tools" >"$venv/.sarn-tools"
        rm -f "$venv/.sarn-installed"
    fi

    local hash
    hash="$(sources_hash)"
    if [ "$(cat "$venv/.sarn-installed" 2>/dev/null)" = "$hash" ]; then
        say "[$kind$ver] sarn is up to date"
        return 0
    fi

    say "[$kind$ver] building and installing sarn"
    local args=(install --no-build-isolation ".[test]")
    if [ "$asan" = 1 ]; then
        args+=(--config-settings=cmake.define.SARN_SANITIZE=ON
               "--config-settings=build-dir=build/asan-{wheel_tag}")
    fi
    local start=$SECONDS
    "${pip[@]}" "${args[@]}" || die "[$kind$ver] building sarn failed"
    printf '%s' "$hash" >"$venv/.sarn-installed"
    say "[$kind$ver] installed in $((SECONDS - start))s"
    exec 9>&-
}

for v in "${versions[@]}"; do
    setup_one "$v"
done
