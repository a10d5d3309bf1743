# Shared by the writer benchmarks (sourced): the scratch folder, the tool check and the measurement
# of one command. The caller sets `me` (its name for messages) and `work` (a scratch directory).

# Empties `work` for this run; it is removed at exit unless KEEP=1.
new_work() {
    rm -rf "$work"
    mkdir -p "$work"
    [ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
}

# Fails unless readpst and GNU time are installed.
need_tools() {
    for tool in readpst /usr/bin/time; do
        command -v "$tool" >/dev/null || { echo "$me: $tool not found (scripts/deps installs it)" >&2; exit 2; }
    done
}

# Runs a command under GNU time; prints "wall-seconds cpu-seconds peak-MiB". CPU time (user +
# system) is shown beside wall time because the writer ends with fsync (its file is durable when
# it reports success; readpst's output is not) and because the machine may be shared.
measure() {
    local stats="$work/time.txt"
    /usr/bin/time -f '%e %U %S %M' -o "$stats" "$@" >"$work/stdout.txt" 2>"$work/stderr.txt" || {
        echo "$me: failed: $*" >&2
        cat "$work/stderr.txt" >&2
        exit 1
    }
    awk '{ printf "%s %.2f %.1f", $1, $2 + $3, $4 / 1024 }' "$stats"
}
