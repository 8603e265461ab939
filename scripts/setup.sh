#!/usr/bin/env bash
# Prepare a development environment: system packages, then one venv per
# requested interpreter with sarn and the test requirements installed into
# it (non-editable).
#
#   scripts/setup.sh 3.8 3.12        -> .venv/py3.8, .venv/py3.12
#   scripts/setup.sh any             -> the venv of the newest supported
#                                       interpreter found (3.15 down to 3.8);
#                                       .venv/default points at it
#   scripts/setup.sh --asan 3.8      -> .venv/asan3.8 (ASan+UBSan build)
#   scripts/setup.sh --tsan 3.14t    -> .venv/tsan3.14t (ThreadSanitizer build,
#                                       in build/tsan-<wheel tag>; meant for a
#                                       free-threaded interpreter, run it
#                                       through scripts/tsan-run.sh)
#   scripts/setup.sh --system-only   -> only the system packages, including
#                                       GoogleTest for the C++ unit tests
#   --no-test-requirements           only sarn and what it needs to run: no
#                                    test requirements, no test browser
#                                    (make demo); a later run without it
#                                    adds them to the same venv
#
# Interpreters are found by scripts/find-python.sh. One setting names an
# interpreter: PY38, PY312 (in general PY<major><minor>) for a version, and
# PYTHON for "any". Idempotent: a venv that is up to date with the sources is
# left alone, so a repeated run takes well under a second. Builds go through
# ccache when it is installed. Each step says what it does and how long it
# took; the full build output is kept in build/logs/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

script_name=setup
. "$root/scripts/common.sh"

asan=0
tsan=0
system_only=0
tests=1
versions=()
for arg in "$@"; do
    case "$arg" in
        --asan) asan=1 ;;
        --tsan) tsan=1 ;;
        --system-only) system_only=1 ;;
        --no-test-requirements) tests=0 ;;
        -h|--help) sed -n '2,27p' "$0"; exit 0 ;;
        [0-9].[0-9]*|any) versions+=("$arg") ;;
        *) die "unknown argument: $arg" ;;
    esac
done
[ "$system_only" = 1 ] || [ "${#versions[@]}" -gt 0 ] \
    || die "usage: setup.sh [--asan|--tsan] [--no-test-requirements] X.Y|any..."
[ "$asan" = 0 ] || [ "$tsan" = 0 ] || die "--asan and --tsan exclude each other"

# --------------------------------------------------------------------------
# System packages (Debian names). The module needs only a C++ compiler and
# CMake; the C++ unit tests need GoogleTest as well.
missing=()
need_header() { [ -f "$1" ] || missing+=("$2"); }
need_tool() { "$1" --version >/dev/null 2>&1 || missing+=("$2"); }
need_tool cmake cmake
need_tool g++ g++
need_tool make make
[ "$system_only" = 1 ] && need_header /usr/include/gtest/gtest.h libgtest-dev
# A headless browser for the tests of the `sarn view` pages: installed as
# root, otherwise those tests are skipped.
browser=()
if [ "$tests" = 1 ]; then
    command -v chromium >/dev/null 2>&1 || browser+=(chromium)
    command -v chromedriver >/dev/null 2>&1 || browser+=(chromium-driver)
fi
if [ "${#browser[@]}" -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        missing+=("${browser[@]}")
    else
        say "not installing ${browser[*]} (not root): the browser tests will be skipped"
    fi
fi

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        say "installing system packages: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q
        apt-get install -y -q --no-install-recommends "${missing[@]}"
    else
        die "missing system packages: ${missing[*]}
       install them first, e.g.:
         sudo apt-get install ${missing[*]}"
    fi
fi
[ "$system_only" = 1 ] && exit 0

# --------------------------------------------------------------------------
# Build tools for installs without build isolation: the backend named in
# pyproject.toml, plus ninja.
build_reqs=()
while IFS= read -r req; do
    build_reqs+=("$req")
done < <(build_requirements)
[ "${#build_reqs[@]}" -gt 0 ] || die "cannot read build-system.requires from pyproject.toml"
runtime_reqs=()
while IFS= read -r req; do
    runtime_reqs+=("$req")
done < <(runtime_requirements)
[ "${#runtime_reqs[@]}" -gt 0 ] || die "cannot read the dependencies from pyproject.toml"
test_reqs=()
while IFS= read -r req; do
    test_reqs+=("$req")
done < <(test_requirements)
[ "${#test_reqs[@]}" -gt 0 ] || die "cannot read the test extra from pyproject.toml"
build_reqs+=("ninja")

# A fingerprint of everything that goes into the installed package.
sources_hash() {
    {
        find src python CMakeLists.txt pyproject.toml -type f \
             ! -name '*.pyc' ! -name '*.so' ! -path '*/__pycache__/*' -print0 2>/dev/null \
            | sort -z | xargs -0 -r sha1sum
        printf 'asan=%s tsan=%s\n' "$asan" "$tsan"
    } | sha1sum | cut -d' ' -f1
}

setup_one() {
    local ver="$1" py venv kind tag
    py="$(find_interpreter "$ver")"
    if [ "$ver" = any ]; then
        ver="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
        say "using Python $ver ($py)"
    fi
    if [ "$asan" = 1 ]; then kind="asan"; elif [ "$tsan" = 1 ]; then kind="tsan"; else kind="py"; fi
    tag="$kind$ver"
    venv="$root/.venv/$tag"
    log_file="$root/build/logs/setup-$tag.log"
    mkdir -p "$root/.venv" "$root/build/logs"
    : >"$log_file"

    # One setup at a time per venv, should two runs overlap in one tree.
    exec 9>"$root/.venv/.$tag.lock"
    flock 9 || die "cannot lock $root/.venv/.$tag.lock"

    # (Re)create the venv when it is missing, broken, or made from another
    # interpreter.
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.sarn-base" 2>/dev/null)" != "$py" ] \
            || ! "$venv/bin/python" -c '' 2>/dev/null; then
        rm -rf "$venv"
        run_logged "[$tag] creating $venv from $py" "$py" -m venv "$venv"
        printf '%s\n' "$py" >"$venv/.sarn-base"
    fi
    local vpy="$venv/bin/python"
    local pip=("$vpy" -m pip --disable-pip-version-check)

    # Build tools, then test requirements, each once per venv and list: a
    # venv set up without the test requirements gets them on the first run
    # that wants them, without a rebuild of sarn.
    if [ "$(cat "$venv/.sarn-build-tools" 2>/dev/null)" != "${build_reqs[*]}" ]; then
        run_logged "[$tag] installing build tools (${build_reqs[*]})" \
            "${pip[@]}" install --upgrade "${build_reqs[@]}"
        printf '%s' "${build_reqs[*]}" >"$venv/.sarn-build-tools"
        rm -f "$venv/.sarn-installed"
    fi
    # sarn's own dependencies, installed before sarn itself: its install
    # skips build isolation, so a dependency that has no wheel for this
    # interpreter would fail to build there. Wheels are preferred to newer
    # source releases.
    if [ "$(cat "$venv/.sarn-runtime-tools" 2>/dev/null)" != "${runtime_reqs[*]}" ]; then
        run_logged "[$tag] installing sarn's dependencies" \
            "${pip[@]}" install --prefer-binary "${runtime_reqs[@]}"
        printf '%s' "${runtime_reqs[*]}" >"$venv/.sarn-runtime-tools"
    fi
    # One pip call per test requirement: resolved together on CPython 3.8,
    # they send pip backtracking through old releases for many minutes.
    if [ "$tests" = 1 ] && [ "$(cat "$venv/.sarn-test-tools" 2>/dev/null)" != "${test_reqs[*]}" ]; then
        local req
        for req in "${test_reqs[@]}"; do
            run_logged "[$tag] installing test requirement $req" "${pip[@]}" install --prefer-binary "$req"
        done
        printf '%s' "${test_reqs[*]}" >"$venv/.sarn-test-tools"
    fi

    local hash
    hash="$(sources_hash)"
    if [ "$(cat "$venv/.sarn-installed" 2>/dev/null)" = "$hash" ]; then
        say "[$tag] sarn is up to date"
        [ "$1" = any ] && ln -sfn "$tag" "$root/.venv/default"
        return 0
    fi

    local target="."
    [ "$tests" = 1 ] && target=".[test]"
    local via=""
    command -v ccache >/dev/null 2>&1 && via=", compiling through ccache"
    say "[$tag] building and installing sarn$via (output in $log_file)"
    local args=(install -v --no-build-isolation "$target" --config-settings=cmake.define.SARN_CCACHE=ON)
    if [ "$asan" = 1 ]; then
        args+=(--config-settings=cmake.define.SARN_SANITIZE=ON
               "--config-settings=build-dir=build/asan-{wheel_tag}")
    elif [ "$tsan" = 1 ]; then
        # Unstripped: race reports name the module's functions and lines.
        args+=(--config-settings=cmake.define.SARN_TSAN=ON
               "--config-settings=build-dir=build/tsan-{wheel_tag}"
               --config-settings=install.strip=false)
    fi
    local start=$SECONDS
    run_build "$tag" "${pip[@]}" "${args[@]}"
    printf '%s' "$hash" >"$venv/.sarn-installed"
    [ "$1" = any ] && ln -sfn "$tag" "$root/.venv/default"
    say "[$tag] sarn built and installed in $((SECONDS - start))s"
    exec 9>&-
}

for v in "${versions[@]}"; do
    setup_one "$v"
done
