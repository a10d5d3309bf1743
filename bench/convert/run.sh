#!/usr/bin/env bash
# Conversion benchmark: whole-process wall time and peak memory of
#   - pelimoor-convert --list (the scan alone, with its one line per contact),
#   - pelimoor-convert --format F for each of the five formats (the scan plus the writer), and
#     for the outputs for importers (--vcard 3.0 and 4.0, --csv google and outlook),
#   - readpst -t c -cv (an independent reader writing vCards, for scale),
# on a file made by pst-fixture: 100,000 contacts in 10 nested folders; then convert-bench on the
# same file: the scan once and every writer in one process, in CPU time (steadier than wall time
# when the machine is shared).
#
#   bench/convert/run.sh [BUILD_DIR]      (default: build)
#
# Files go to BUILD_DIR/bench/convert (KEEP=1 keeps them). CASES="N F|N F" changes the file(s).
# Goals: writing adds at most a quarter to the scan's time for every format; peak memory stays
# bounded by the store: at most 10% above the scan's peak (no second copy of the contacts).
set -euo pipefail

build=${1:-build}
bin="$build/bin"
for tool in "$bin/pst-fixture" "$bin/pelimoor-convert"; do
    [ -x "$tool" ] || { echo "run.sh: $tool not found; build the bench_convert target" >&2; exit 2; }
done
for tool in readpst /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool not found (scripts/deps installs it)" >&2; exit 2; }
done

work="$build/bench/convert"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

# Runs a command under GNU time, output to $work/out.txt; prints "seconds peak-KiB".
measure() {
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >"$work/out.txt" 2>"$work/stderr.txt" || {
        echo "run.sh: failed: $*" >&2
        cat "$work/stderr.txt" >&2
        exit 1
    }
    cat "$work/time.txt"
}

mib() { awk -v k="$1" 'BEGIN{printf "%.1f", k/1024}'; }
row() { printf '%-28s %-32s %9s %10s %12s %s\n' "$@"; }

row "case" "program" "seconds" "peak MiB" "output MiB" "vs scan"
IFS='|' read -r -a cases <<<"${CASES:-100000 10}"
for c in "${cases[@]}"; do
    read -r contacts folders <<<"$c"
    file="$work/contacts-$contacts-$folders.pst"
    [ -f "$file" ] || "$bin/pst-fixture" --contacts "$contacts" --folders "$folders" --seed 1 "$file" >/dev/null
    name="$contacts contacts, $folders folders"

    read -r s_sec s_kib <<<"$(measure "$bin/pelimoor-convert" --list "$file")"
    listed=$(wc -l <"$work/out.txt")
    row "$name" "pelimoor-convert --list" "$s_sec" "$(mib "$s_kib")" "-" "listed $listed"
    name=""

    for format in pst vcf csv txt html "vcf --vcard 3.0" "vcf --vcard 4.0" "csv --csv google" "csv --csv outlook"; do
        out="$work/out-${format// /_}"
        rm -rf "$out" && mkdir -p "$out"
        # shellcheck disable=SC2086
        read -r f_sec f_kib <<<"$(measure "$bin/pelimoor-convert" --format $format --out "$out" "$file")"
        size=$(du -sk "$out" | awk '{printf "%.1f", $1/1024}')
        verdict=$(awk -v f="$f_sec" -v s="$s_sec" -v fk="$f_kib" -v sk="$s_kib" 'BEGIN {
            t = (s > 0 ? (f - s) / s : 0); m = (sk > 0 ? (fk - sk) / sk : 0)
            printf "time %+.0f%% (goal <= +25%%) %s, memory %+.0f%% (goal <= +10%%) %s", t * 100,
                (t <= 0.25 ? "ok" : "MISSED"), m * 100, (m <= 0.10 ? "ok" : "MISSED") }')
        row "" "pelimoor-convert --format $format" "$f_sec" "$(mib "$f_kib")" "$size" "$verdict"
        rm -rf "$out"
    done

    out="$work/readpst"
    rm -rf "$out" && mkdir -p "$out"
    read -r r_sec r_kib <<<"$(measure readpst -q -t c -cv -o "$out" "$file")"
    size=$(du -sk "$out" | awk '{printf "%.1f", $1/1024}')
    cards=$(find "$out" -type f -exec cat {} + | grep -c '^BEGIN:VCARD' || true)
    row "" "readpst -t c -cv" "$r_sec" "$(mib "$r_kib")" "$size" "$cards cards"
    rm -rf "$out"
    if [ -x "$bin/convert-bench" ]; then
        echo "in one process (convert-bench):"
        out="$work/in-process"
        rm -rf "$out" && mkdir -p "$out"
        "$bin/convert-bench" "$file" "$out" | sed 's/^/    /'
        rm -rf "$out"
    fi
    [ "$listed" = "$contacts" ] || echo "run.sh: pelimoor-convert listed $listed contacts, expected $contacts" >&2
done
