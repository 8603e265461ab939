#!/usr/bin/env bash
# Run a command against the sanitizer build of sarn's extension modules (ASan + UBSan).
#
#   scripts/asan-run.sh .venv/asan3.8/bin/python -m pytest tests
#
# The interpreter itself is not instrumented, so the ASan runtime has to be
# preloaded; PYTHONMALLOC=malloc routes Python's allocations through it.
# Leaks are checked at exit; the interpreter's own exit-time leaks are
# suppressed by tests/lsan-suppressions.txt.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cxx="${CXX:-g++}"

libasan="$("$cxx" -print-file-name=libasan.so)"
libubsan="$("$cxx" -print-file-name=libubsan.so)"
for lib in "$libasan" "$libubsan"; do
    [ -f "$lib" ] || { echo "asan-run: $lib not found (from $cxx -print-file-name)" >&2; exit 1; }
done

export LD_PRELOAD="$libasan $libubsan${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
# Reports go to files as well as standard error: pytest captures a test's
# standard error, and a process that the sanitizer stops never prints it.
reports="$root/build/sanitizer-reports"
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=0:strict_string_checks=0:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/tests/lsan-suppressions.txt:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
run_once() {
    rm -rf "$reports" && mkdir -p "$reports"
    status=0
    "$@" || status=$?
}

# The leak check at exit stops every thread of the process from a tracer
# thread, which now and then crashes itself while threads are ending: its
# report then says only that the leak checker "has encountered a fatal
# error". No leak was looked for, so the command runs once more for a verdict.
checker_failed_alone() {
    compgen -G "$reports/*" >/dev/null || return 1
    for report in "$reports"/*; do
        grep -q "LeakSanitizer has encountered a fatal error" "$report" || return 1
    done
    ! grep -q -e "ERROR:" -e "runtime error" "$reports"/*
}

run_once "$@"
if [ "$status" -ne 0 ] && checker_failed_alone; then
    echo "asan-run: the leak checker failed on its own, with no finding; running again" >&2
    cat "$reports"/* >&2
    run_once "$@"
fi
if compgen -G "$reports/*" >/dev/null; then
    echo "asan-run: sanitizer reports:" >&2
    cat "$reports"/* >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
