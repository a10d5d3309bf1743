#!/usr/bin/env bash
# Offline folder file benchmark: 100,000 contacts in 10 folders, written by pst-fixture twice with
# one seed, as a 512-byte-page PST and as a 4 KiB-page OST with compressed blocks. Under GNU time
# (processor time = user + system, wall time, peak memory):
#   - pelimoor-convert --reader native --list FILE.pst
#   - pelimoor-convert --reader native --ost --list FILE.ost
#   - pelimoor-convert --reader libpff --ost --list FILE.ost   (once: minutes)
# Goals: the native scan of the OST within 1.5 times the native scan of the PST, and at least 20
# times faster than libpff on the OST; the three lists equal.
#
#   bench/ost/run.sh [BUILD_DIR]     (default: build)
#   CONTACTS=N (default 100000)  REPEAT=N (native runs, least processor time kept; default 3)
#   KEEP=1 keeps the files in BUILD_DIR/bench/ost/files and reuses them next time
#
# Exit status: 0 lists equal and goals met; 1 a program failed or the lists differ; 2 bad usage
# or missing tools; 3 lists equal but a goal is missed.
set -euo pipefail

build=${1:-build}
bin="$build/bin"
for tool in "$bin/pst-fixture" "$bin/pelimoor-convert"; do
    [ -x "$tool" ] || { echo "run.sh: $tool not found; build the bench_ost target" >&2; exit 2; }
done
command -v /usr/bin/time >/dev/null || { echo "run.sh: /usr/bin/time not found (scripts/deps installs it)" >&2; exit 2; }
contacts=${CONTACTS:-100000}
repeat=${REPEAT:-3}
[[ "$contacts" =~ ^[1-9][0-9]*$ && "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: CONTACTS and REPEAT are whole numbers >= 1" >&2; exit 2; }

work="$build/bench/ost/files"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
args="--contacts $contacts --folders 10 --seed 9"
pst="$work/contacts-$contacts.pst"
ost="$work/contacts-$contacts.ost"
if [ ! -f "$pst" ] || [ "$pst" -ot "$bin/pst-fixture" ]; then
    # shellcheck disable=SC2086
    "$bin/pst-fixture" $args "$pst"
fi
if [ ! -f "$ost" ] || [ "$ost" -ot "$bin/pst-fixture" ]; then
    # shellcheck disable=SC2086
    "$bin/pst-fixture" $args --pages 4k --compress --ost "$ost"
fi
echo "# $(nproc) cores; $(du -k "$pst" | cut -f1) KiB PST, $(du -k "$ost" | cut -f1) KiB OST ($contacts contacts)"

# shellcheck source=bench/timing.sh
source "$(dirname "$0")/../timing.sh"

read -r pst_cpu pst_wall pst_rss <<<"$(timed_best "$work/pst.list" "$bin/pelimoor-convert" --reader native --list "$pst")"
read -r ost_cpu ost_wall ost_rss <<<"$(timed_best "$work/ost.list" "$bin/pelimoor-convert" --reader native --ost --list "$ost")"
read -r pff_cpu pff_wall pff_rss <<<"$(timed_run "$work/pff.list" "$bin/pelimoor-convert" --reader libpff --ost --list "$ost")"
printf '%-34s %8s %8s %10s\n' "scan" "cpu s" "wall s" "peak KiB"
printf '%-34s %8s %8s %10s\n' "native, 512-byte PST" "$pst_cpu" "$pst_wall" "$pst_rss"
printf '%-34s %8s %8s %10s\n' "native, 4 KiB compressed OST" "$ost_cpu" "$ost_wall" "$ost_rss"
printf '%-34s %8s %8s %10s\n' "libpff, 4 KiB compressed OST" "$pff_cpu" "$pff_wall" "$pff_rss"

status=0
if ! cmp -s "$work/pst.list" "$work/ost.list" || ! cmp -s "$work/ost.list" "$work/pff.list"; then
    echo "lists differ" >&2
    exit 1
fi
echo "lists equal: $(wc -l <"$work/ost.list") lines"
ratio=$(awk -v a="$ost_cpu" -v b="$pst_cpu" 'BEGIN { printf "%.2f", a / (b > 0 ? b : 0.01) }')
speedup=$(awk -v a="$pff_cpu" -v b="$ost_cpu" 'BEGIN { printf "%.1f", a / (b > 0 ? b : 0.01) }')
echo "OST / PST processor time: $ratio (goal at most 1.5)"
echo "libpff / native on the OST: $speedup times (goal at least 20)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 1.5) }' || status=3
awk -v s="$speedup" 'BEGIN { exit !(s >= 20) }' || status=3
exit "$status"
