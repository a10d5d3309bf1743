#!/usr/bin/env bash
# Save as .PST benchmark: pelimoor-convert --format pst of a given file (the scan and the writer,
# fsync included), then readpst reading the result whole, with whole-process wall time, CPU time
# and peak memory of both (GNU time).
#
#   bench/pst_write/save.sh [BUILD_DIR] FILE.pst      (default BUILD_DIR: build)
#
# RUNS=N repeats both steps N times (default 1). The output goes to BUILD_DIR/bench/pst_save and
# is removed afterwards (KEEP=1 keeps the last one). The load average is printed before each run:
# on a shared machine compare CPU times, or runs made at the same load.
# Goal: Save as .PST takes less time than readpst needs to read what it wrote.
set -euo pipefail

build=build
if [ $# -eq 2 ]; then
    build=$1
    shift
fi
[ $# -eq 1 ] || { echo "usage: save.sh [BUILD_DIR] FILE.pst" >&2; exit 2; }
source_file=$1
convert="$build/bin/pelimoor-convert"
[ -x "$convert" ] || { echo "save.sh: $convert not found; build the pelimoor-convert target first" >&2; exit 2; }
[ -f "$source_file" ] || { echo "save.sh: $source_file not found" >&2; exit 2; }

work="$build/bench/pst_save"
me=save.sh
source "$(dirname "$0")/measure.sh"
new_work
need_tools

row() { printf '%-6s %-26s %9s %9s %10s %10s %9s\n' "$@"; }

row "run" "step" "wall s" "cpu s" "peak MiB" "file MiB" "items"
for run in $(seq 1 "${RUNS:-1}"); do
    echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
    out="$work/save"
    rm -rf "$out" && mkdir -p "$out"
    read -r s_sec s_cpu s_mem <<<"$(measure "$convert" --format pst --out "$out" "$source_file")"
    result=$(find "$out" -name contacts.pst)
    size=$(awk -v b="$(stat -c %s "$result")" 'BEGIN { printf "%.1f", b / 1048576 }')
    row "$run" "pelimoor-convert --format pst" "$s_sec" "$s_cpu" "$s_mem" "$size" ""

    cards_dir="$work/readpst"
    rm -rf "$cards_dir" && mkdir -p "$cards_dir"
    read -r r_sec r_cpu r_mem <<<"$(measure readpst -q -t c -cv -o "$cards_dir" "$result")"
    cards=$(find "$cards_dir" -type f -exec cat {} + | grep -c '^BEGIN:VCARD' || true)
    row "" "readpst -t c -cv (result)" "$r_sec" "$r_cpu" "$r_mem" "" "$cards"
    rm -rf "$cards_dir"
    awk -v s="$s_sec" -v r="$r_sec" -v sc="$s_cpu" -v rc="$r_cpu" 'BEGIN {
        printf "%-6s %-26s save/read: wall %.2f, cpu %.2f (goal: wall below 1)\n", "", "", (r > 0 ? s / r : 0),
            (rc > 0 ? sc / rc : 0) }'
done
