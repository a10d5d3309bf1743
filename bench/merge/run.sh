#!/usr/bin/env bash
# Merge benchmark: wall time, processor time and peak memory (GNU time) of pelimoor-convert --list
# without and with --merge, on files made by pst-fixture --population (three in ten contacts of a
# file are copies or variants of contacts of the next file).
#
#   bench/merge/run.sh [BUILD_DIR]       (default: build)
#
#   CASES="ten million"   the cases: "ten" (10 files of 100,000 contacts; goals: the merge step
#                         takes at most the time of scanning the ten files, and the run's peak
#                         memory is at most 1.3 times the plain run's, whose peak is the store of
#                         all records and the reader's working set) and "million" (1,000,000
#                         contacts in one file; goal: --merge at most twice the plain run's time)
#   KEEP=1                keep the files in BUILD_DIR/bench/merge/files and reuse them
#
# Exit status: 0 every goal met; 1 a program failed; 2 bad usage or missing tools; 3 a goal missed.
set -euo pipefail

build=${1:-build}
bin="$build/bin"
for tool in "$bin/pst-fixture" "$bin/pelimoor-convert" /usr/bin/time; do
    [ -x "$tool" ] || { echo "run.sh: $tool not found" >&2; exit 2; }
done
read -r -a cases <<<"${CASES:-ten million}"
work="$build/bench/merge/files"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

missed=0
# Runs pelimoor-convert with the arguments; prints "wall user+sys peak_kib".
measure() {
    local log="$work/time.log"
    /usr/bin/time -f '%e %U %S %M' -o "$log" "$bin/pelimoor-convert" "$@" >/dev/null 2>"$work/err.log" ||
        { echo "run.sh: pelimoor-convert $* failed:" >&2; cat "$work/err.log" >&2; exit 1; }
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$log"
}

for c in "${cases[@]}"; do
    case "$c" in
    ten)
        files=()
        for f in 0 1 2 3 4 5 6 7 8 9; do
            file="$work/population-$f.pst"
            [ -f "$file" ] || "$bin/pst-fixture" --population 100000 "$f" "$file"
            files+=("$file")
        done
        read -r pw pc pm <<<"$(measure --list "${files[@]}")"
        read -r mw mc mm <<<"$(measure --merge --region DE --list "${files[@]}")"
        tail -1 "$work/err.log"
        step=$(awk -v a="$mw" -v b="$pw" 'BEGIN { printf "%.2f", a - b }')
        ratio=$(awk -v a="$mm" -v b="$pm" 'BEGIN { printf "%.2f", a / b }')
        echo "ten files x 100,000: plain ${pw} s wall, ${pc} s cpu, ${pm} KiB; --merge ${mw} s wall, ${mc} s cpu, ${mm} KiB"
        echo "  merge step ${step} s (goal <= ${pw} s), peak memory ${ratio} x plain (goal <= 1.3)"
        awk -v s="$step" -v p="$pw" -v r="$ratio" 'BEGIN { exit !(s <= p && r <= 1.3) }' || missed=1
        ;;
    million)
        file="$work/population-million.pst"
        [ -f "$file" ] || "$bin/pst-fixture" --population 1000000 0 "$file"
        read -r pw pc pm <<<"$(measure --list "$file")"
        read -r mw mc mm <<<"$(measure --merge --region DE --list "$file")"
        tail -1 "$work/err.log"
        ratio=$(awk -v a="$mw" -v b="$pw" 'BEGIN { printf "%.2f", a / b }')
        echo "1,000,000 in one file: plain ${pw} s wall, ${pc} s cpu, ${pm} KiB; --merge ${mw} s wall, ${mc} s cpu, ${mm} KiB"
        echo "  --merge ${ratio} x plain (goal <= 2)"
        awk -v r="$ratio" 'BEGIN { exit !(r <= 2) }' || missed=1
        ;;
    *)
        echo "run.sh: unknown case '$c' (ten, million)" >&2
        exit 2
        ;;
    esac
done
[ "$missed" = 0 ] || exit 3
