#!/usr/bin/env bash
# Run a command against the ThreadSanitizer build of sarn's extension modules
# (scripts/setup.sh --tsan 3.14t), meant for a free-threaded interpreter:
#
#   scripts/tsan-run.sh .venv/tsan3.14t/bin/python -m pytest tests/test_parallel_threads.py
#
# The interpreter itself is not instrumented, so the TSan runtime has to be
# preloaded, and only the modules' own accesses are checked: what the
# interpreter does is invisible except through the C library functions the
# runtime intercepts, whose reports are limited to instrumented callers
# (ignore_noninstrumented_modules). Synchronisation the interpreter does with
# its own atomics is invisible too; tests/tsan-suppressions.txt lists the
# reports that come from that, each with the reason.
#
# Every report is written to build/sanitizer-reports/ and, at the end, to
# standard error; the exit status is non-zero when there was any, even if
# the command succeeded. Reports do not stop the process (halt_on_error=0).
#
# PYTHON_GIL=0 keeps the GIL off even should a module ask for it.
# SARN_TEST_PARALLEL_CALLS (default here 10000) lowers the call count of
# tests/test_parallel_threads.py, which TSan slows down many times.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cxx="${CXX:-g++}"

libtsan="$("$cxx" -print-file-name=libtsan.so)"
[ -f "$libtsan" ] || { echo "tsan-run: $libtsan not found (from $cxx -print-file-name)" >&2; exit 1; }

export LD_PRELOAD="$libtsan${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHON_GIL=0
export SARN_TEST_PARALLEL_CALLS="${SARN_TEST_PARALLEL_CALLS:-10000}"
reports="$root/build/sanitizer-reports"
rm -rf "$reports" && mkdir -p "$reports"
# log_path: one file per process (child processes included), as pytest
# captures a test's standard error. exitcode=0: the files decide the status
# below, so that a report in a child process counts too.
export TSAN_OPTIONS="log_path=$reports/tsan:suppressions=$root/tests/tsan-suppressions.txt:halt_on_error=0:exitcode=0:ignore_noninstrumented_modules=1:second_deadlock_stack=1:history_size=7:print_suppressions=0${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

# The runtime needs its fixed memory layout, which high-entropy address
# randomisation can break ("FATAL: ThreadSanitizer: unexpected memory
# mapping"): run without randomisation where the kernel allows it.
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom=(setarch "$(uname -m)" -R)
fi

status=0
"${norandom[@]}" "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
    echo "tsan-run: sanitizer reports:" >&2
    cat "$reports"/* >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
