#!/usr/bin/env bash
# Scan benchmark: whole-process wall time and peak memory of
#   - pelimoor-convert --list (the scan, the store and the output),
#   - pff-floor (the same libpff calls, nothing decoded or kept: the dependency's floor),
#   - readpst -t c -cv (an independent reader, for scale),
# on files made by pst-fixture.
#
#   bench/scan/run.sh [BUILD_DIR]      (default: build)
#
# Cases: 100,000 contacts in 10 nested folders; 20,000 contacts in one folder (libpff's cost
# grows with the square of the items in one folder); and the same files' empty-scan baseline
# (a file with the folders but 0 contacts). Files go to BUILD_DIR/bench/scan (KEEP=1 keeps them).
# Goals: the scan adds at most 10% to the floor's time; its peak memory stays within 2.5 KB
# per contact above the floor's.
set -euo pipefail

build=${1:-build}
bin="$build/bin"
for tool in "$bin/pst-fixture" "$bin/pff-floor" "$bin/pelimoor-convert"; do
    [ -x "$tool" ] || { echo "run.sh: $tool not found; build the bench_scan target" >&2; exit 2; }
done
for tool in readpst /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool not found (scripts/deps installs it)" >&2; exit 2; }
done

work="$build/bench/scan"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

# Runs a command under GNU time, output to $work/out.txt; prints "wall-seconds cpu-seconds
# peak-KiB". The ratios use processor time (user + system), which other work on a shared
# machine disturbs far less than wall time.
measure() {
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$@" >"$work/out.txt" 2>"$work/stderr.txt" || {
        echo "run.sh: failed: $*" >&2
        cat "$work/stderr.txt" >&2
        exit 1
    }
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time.txt"
}

row() { printf '%-30s %-18s %9s %9s %10s %9s\n' "$@"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
row "case" "program" "wall s" "cpu s" "peak MiB" "contacts"
IFS='|' read -r -a cases <<<"${CASES:-100000 10|20000 1}"
for c in "${cases[@]}"; do
    read -r contacts folders <<<"$c"
    file="$work/contacts-$contacts-$folders.pst"
    [ -f "$file" ] || "$bin/pst-fixture" --contacts "$contacts" --folders "$folders" --seed 1 "$file" >/dev/null
    name="$contacts contacts, $folders folder(s)"

    read -r s_wall s_sec s_kib <<<"$(measure "$bin/pelimoor-convert" --list "$file")"
    s_n=$(wc -l <"$work/out.txt")
    row "$name" "pelimoor-convert" "$s_wall" "$s_sec" "$(mib "$s_kib")" "$s_n"

    read -r f_wall f_sec f_kib <<<"$(measure "$bin/pff-floor" "$file")"
    row "" "pff-floor" "$f_wall" "$f_sec" "$(mib "$f_kib")" "$(cat "$work/out.txt")"

    out="$work/readpst"
    rm -rf "$out" && mkdir -p "$out"
    read -r r_wall r_sec r_kib <<<"$(measure readpst -q -t c -cv -o "$out" "$file")"
    cards=$(find "$out" -type f -exec cat {} + | grep -c '^BEGIN:VCARD' || true)
    row "" "readpst -t c -cv" "$r_wall" "$r_sec" "$(mib "$r_kib")" "$cards"
    rm -rf "$out"

    awk -v s="$s_sec" -v f="$f_sec" -v r="$r_sec" -v sk="$s_kib" -v fk="$f_kib" -v n="$contacts" 'BEGIN {
        printf "%-30s scan/floor cpu time %.3f (goal <= 1.10); floor/readpst cpu time %.1fx\n", "", (f > 0 ? s / f : 0), (r > 0 ? f / r : 0)
        printf "%-30s memory above the floor: %.2f KB per contact (goal <= 2.5)\n", "", (sk - fk) * 1.024 / n
    }'
    [ "$s_n" = "$contacts" ] || echo "run.sh: pelimoor-convert listed $s_n contacts, expected $contacts" >&2
done
