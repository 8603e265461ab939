# Shared by the set-up scripts: messages, logged steps, build progress.
# The sourcing script sets $script_name and, before run_logged, $log_file.

say() { printf '%s: %s\n' "$script_name" "$*"; }
die() { printf '%s: error: %s\n' "$script_name" "$*" >&2; exit 1; }

# Runs "$@" with its output appended to $log_file; on failure shows the
# log's end. Says what it does and how long it took.
run_logged() {
    local what="$1"; shift
    local start=$SECONDS
    say "$what ..."
    if ! "$@" >>"$log_file" 2>&1; then
        tail -n 40 "$log_file" >&2
        die "$what failed (full output: $log_file)"
    fi
    say "$what: done in $((SECONDS - start))s"
}

# Filters pip's verbose output down to the build backend's steps and one line
# per compiled file, with the build tree's prefix dropped; a unity build's
# one file per module is named by its module.
build_progress() {
    awk -v prefix="$script_name: [$1]  " '
        /^ *\*\*\* / { sub(/^ *\*\*\* /, ""); print prefix, $0; fflush(); next }
        /^ *\[[0-9]+\/[0-9]+\] / {
            sub(/^ */, "")
            if (match($0, /CMakeFiles\/[^ \/]*\.dir\/Unity\/[^ ]*/)) {
                module = substr($0, RSTART + 11, RLENGTH - 11)
                sub(/\.dir\/.*/, "", module)
                $0 = substr($0, 1, RSTART - 1) module " (all its sources in one unit)"
            }
            gsub(/CMakeFiles\/[^ ]*\.dir\//, "")
            print prefix, $0; fflush()
        }'
}

# Runs a pip build command ("$@") with its progress shown and its full
# output appended to $log_file.
run_build() {
    local tag="$1"; shift
    if ! "$@" 2>&1 | tee -a "$log_file" | build_progress "$tag"; then
        tail -n 40 "$log_file" >&2
        die "[$tag] building sarn failed (full output: $log_file)"
    fi
}

# Prints the interpreter for "$1" (X.Y or any), or dies naming the setting
# that chooses one: PY<major><minor> for a version, PYTHON for any.
find_interpreter() {
    local ver="$1" var what
    if [ "$ver" = any ]; then
        var=PYTHON what="no supported Python (3.8 to 3.15)"
    else
        var="PY${ver//./}" what="no Python $ver"
    fi
    SARN_PYTHON="${!var:-}" "$root/scripts/find-python.sh" "$ver" \
        || die "$what: name one with $var=/path/to/python"
}

# The build requirements named in pyproject.toml, one per line.
build_requirements() {
    sed -n 's/^requires *= *\[\(.*\)\]/\1/p' "$root/pyproject.toml" | grep -o '"[^"]*"' | tr -d '"'
}

# The project's own dependencies in pyproject.toml, one per line.
runtime_requirements() {
    sed -n '/^dependencies = \[/,/^\]/p' "$root/pyproject.toml" | grep -v '^ *#' | grep -o '"[^"]*"' | tr -d '"'
}

# The "test" extra of pyproject.toml, one requirement per line.
test_requirements() {
    sed -n '/^test = \[/,/^\]/p' "$root/pyproject.toml" | grep -v '^ *#' | grep -o '"[^"]*"' | tr -d '"'
}
