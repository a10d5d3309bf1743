#!/usr/bin/env bash
# Writer benchmark: makes large contact files with pst-fixture and reads them back with
# readpst, measuring whole-process wall time and peak memory of both (GNU time).
#
#   bench/pst_write/run.sh [BUILD_DIR]      (default: build)
#
# Cases: 100,000 contacts in 10 nested folders; 20,000 contacts in one folder. The generated
# files go to BUILD_DIR/bench/pst_write and are removed afterwards (KEEP=1 keeps them).
# Goal: writing a file takes less time than readpst needs to read it.
set -euo pipefail

build=${1:-build}
fixture="$build/bin/pst-fixture"
[ -x "$fixture" ] || { echo "run.sh: $fixture not found; build the pst-fixture target first" >&2; exit 2; }

work="$build/bench/pst_write"
me=run.sh
source "$(dirname "$0")/measure.sh"
new_work
need_tools

row() { printf '%-32s %-8s %9s %9s %10s %10s %8s\n' "$@"; }

row "case" "step" "wall s" "cpu s" "peak MiB" "file MiB" "items"
# CASES="contacts folders; ..." replaces the two standard cases (e.g. for a quick check).
IFS=';' read -r -a cases <<<"${CASES:-100000 10; 20000 1}"
for c in "${cases[@]}"; do
    read -r contacts folders <<<"$c"
    name="$contacts contacts, $folders folder(s)"
    file="$work/contacts-$contacts-$folders.pst"
    read -r w_sec w_cpu w_mem <<<"$(measure "$fixture" --contacts "$contacts" --folders "$folders" --seed 1 "$file")"
    size=$(awk -v b="$(stat -c %s "$file")" 'BEGIN { printf "%.1f", b / 1048576 }')
    row "$name" "write" "$w_sec" "$w_cpu" "$w_mem" "$size" "$contacts"

    out="$work/readpst-$contacts"
    mkdir -p "$out"
    read -r r_sec r_cpu r_mem <<<"$(measure readpst -q -t c -cv -o "$out" "$file")"
    cards=$(find "$out" -type f -exec cat {} + | grep -c '^BEGIN:VCARD' || true)
    row "" "readpst" "$r_sec" "$r_cpu" "$r_mem" "" "$cards"
    [ "$cards" = "$contacts" ] || echo "run.sh: readpst found $cards contacts, expected $contacts" >&2
    awk -v w="$w_sec" -v r="$r_sec" -v wc="$w_cpu" -v rc="$r_cpu" 'BEGIN {
        printf "%-32s write/read: wall %.2f, cpu %.2f (goal: below 1)\n", "", (r > 0 ? w / r : 0), (rc > 0 ? wc / rc : 0) }'
    rm -rf "$out" "$file"
done
