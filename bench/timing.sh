# shellcheck shell=bash disable=SC2154
# Timed runs for the benchmark scripts, under GNU time (processor time = user + system, wall time,
# peak memory). Sourced by a run.sh that has set `work` (a folder of its own) and `repeat` (the
# runs of timed_best, a whole number >= 1):
#
#   read -r cpu wall kib <<<"$(timed_best "$work/out.list" "$bin/pelimoor-convert" --list "$file")"
#
# A program that fails ends the script with status 1.

# timed_run OUT ARGS...: one timed run of ARGS, its standard output in OUT; prints "cpu wall rss_kib".
timed_run() {
    local out=$1
    shift
    local t="$work/time.txt"
    /usr/bin/time -f '%U %S %e %M' -o "$t" "$@" >"$out" 2>/dev/null || { echo "run.sh: $* failed" >&2; exit 1; }
    awk '{ printf "%.2f %.2f %d\n", $1 + $2, $3, $4 }' "$t"
}

# timed_best OUT ARGS...: `repeat` runs of ARGS, the one with the least processor time.
timed_best() {
    local out=$1 b="" r
    shift
    for _ in $(seq "$repeat"); do
        r=$(timed_run "$out" "$@")
        if [ -z "$b" ] || awk -v a="$r" -v b="$b" 'BEGIN { split(a, x, " "); split(b, y, " "); exit !(x[1] < y[1]) }'; then
            b=$r
        fi
    done
    echo "$b"
}
