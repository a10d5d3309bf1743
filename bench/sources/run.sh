#!/usr/bin/env bash
# Address book sources benchmark, under GNU time (processor time = user + system, wall time, peak
# memory):
#   - the correspondents of 200,000 mails with senders and recipient tables (pst-fixture --mails,
#     every fifth in Sent Items): pelimoor-convert --sources contacts,correspondents --list FILE
#     against the plain scan of the same file, pelimoor-convert --list FILE;
#   - an .nk2 autocomplete list of 100,000 rows (pst-fixture --nk2): pelimoor-convert --list FILE.nk2.
# Goals: the correspondents within 3 times the plain scan's processor time; the .nk2 within 0.2 s
# of wall time.
#
#   bench/sources/run.sh [BUILD_DIR]     (default: build)
#   MAILS=N (default 200000)  ROWS=N (default 100000)  REPEAT=N (least processor time kept; default 3)
#   KEEP=1 keeps the files in BUILD_DIR/bench/sources/files and reuses them next time
#
# Exit status: 0 goals met; 1 a program failed; 2 bad usage or missing tools; 3 a goal is missed.
set -euo pipefail

build=${1:-build}
bin="$build/bin"
for tool in "$bin/pst-fixture" "$bin/pelimoor-convert"; do
    [ -x "$tool" ] || { echo "run.sh: $tool not found; build the bench_sources target" >&2; exit 2; }
done
command -v /usr/bin/time >/dev/null || { echo "run.sh: /usr/bin/time not found (scripts/deps installs it)" >&2; exit 2; }
mails=${MAILS:-200000}
rows=${ROWS:-100000}
repeat=${REPEAT:-3}
for n in "$mails" "$rows" "$repeat"; do
    [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: MAILS, ROWS and REPEAT are whole numbers >= 1" >&2; exit 2; }
done

work="$build/bench/sources/files"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
pst="$work/mails-$mails.pst"
nk2="$work/rows-$rows.nk2"
if [ ! -f "$pst" ] || [ "$pst" -ot "$bin/pst-fixture" ]; then
    "$bin/pst-fixture" --contacts 100 --mails "$mails" --seed 9 "$pst"
fi
if [ ! -f "$nk2" ] || [ "$nk2" -ot "$bin/pst-fixture" ]; then
    "$bin/pst-fixture" --nk2 "$rows" --seed 9 "$nk2"
fi
echo "# $(nproc) cores; $(du -k "$pst" | cut -f1) KiB PST ($mails mails), $(du -k "$nk2" | cut -f1) KiB .nk2 ($rows rows)"

# shellcheck source=bench/timing.sh
source "$(dirname "$0")/../timing.sh"

read -r plain_cpu plain_wall plain_rss <<<"$(timed_best "$work/plain.list" "$bin/pelimoor-convert" --list "$pst")"
read -r corr_cpu corr_wall corr_rss <<<"$(timed_best "$work/corr.list" "$bin/pelimoor-convert" --sources contacts,correspondents --list "$pst")"
read -r nk2_cpu nk2_wall nk2_rss <<<"$(timed_best "$work/nk2.list" "$bin/pelimoor-convert" --list "$nk2")"
printf '%-40s %8s %8s %10s %8s\n' "run" "cpu s" "wall s" "peak KiB" "cards"
printf '%-40s %8s %8s %10s %8s\n' "plain scan" "$plain_cpu" "$plain_wall" "$plain_rss" "$(wc -l <"$work/plain.list")"
printf '%-40s %8s %8s %10s %8s\n' "contacts and correspondents" "$corr_cpu" "$corr_wall" "$corr_rss" "$(wc -l <"$work/corr.list")"
printf '%-40s %8s %8s %10s %8s\n' ".nk2 autocomplete list" "$nk2_cpu" "$nk2_wall" "$nk2_rss" "$(wc -l <"$work/nk2.list")"

status=0
ratio=$(awk -v a="$corr_cpu" -v b="$plain_cpu" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 0.01) }')
echo "correspondents / plain scan processor time: $ratio (goal at most 3)"
echo ".nk2 of $rows rows: $nk2_wall s wall (goal at most 0.2)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 3) }' || status=3
awk -v w="$nk2_wall" 'BEGIN { exit !(w <= 0.2) }' || status=3
exit "$status"
