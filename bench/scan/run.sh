#!/usr/bin/env bash
# Scan benchmark: processor time (user + system), wall time and peak memory, under GNU time, of
#   - pelimoor-convert --reader native --list   (our own reader: scan, store, output),
#   - pelimoor-convert --reader libpff --list   (the same scan through libpff),
#   - pff-floor                                 (libpff's calls for that scan, nothing decoded or kept),
#   - readpst -q -t c -cv -o DIR                (an independent reader, for scale),
# on files made by pst-fixture. See README.md for the cases and the goals.
#
#   bench/scan/run.sh [BUILD_DIR]       (default: build)
#
#   CASES="contacts mixed linear"   the cases to run, in that order (any subset, space or comma;
#                                   also "speed": wall time against reading the bytes, and
#                                   "million": 1,000,000 contacts, a 3 GB file)
#   KEEP=1                          keep the generated files in BUILD_DIR/bench/scan/files and
#                                   reuse them next time (otherwise they are removed at the end)
#   REPEAT=N                        run pelimoor native and readpst N times, keeping the least
#                                   processor time (libpff and pff-floor run once: minutes each)
#   AGAINST=OTHER_BUILD_DIR         with "million": that build's pelimoor-convert and this one in
#                                   turn, REPEAT times, on 1,000,000 contacts (wall and context
#                                   switches of both, min and median)
#
# Exit status: 0 counts agree and every goal is met; 1 a program failed or the readers' counts
# or lists differ; 2 bad usage or missing tools; 3 counts agree but a goal is missed.
set -euo pipefail

build=${1:-build}
bin="$build/bin"
for tool in "$bin/pst-fixture" "$bin/pff-floor" "$bin/pelimoor-convert"; do
    [ -x "$tool" ] || { echo "run.sh: $tool not found; build the bench_scan target" >&2; exit 2; }
done
for tool in readpst /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool not found (scripts/deps installs it)" >&2; exit 2; }
done
repeat=${REPEAT:-1}
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: REPEAT must be a whole number >= 1" >&2; exit 2; }
read -r -a cases <<<"${CASES:-contacts mixed linear}"
cases=(${cases[*]//,/ })
for c in "${cases[@]}"; do
    case "$c" in contacts | mixed | linear | speed | million) ;; *) echo "run.sh: unknown case '$c' (contacts, mixed, linear, speed, million)" >&2; exit 2 ;; esac
done

# Our own folder below CMake's directory for bench/scan (never that directory itself: it holds
# CMake's and Ninja's files for pff-floor).
work="$build/bench/scan/files"
mkdir -p "$work"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

# ---- the files

# File name -> pst-fixture arguments. One seed for all: the same arguments give the same file.
declare -A fixture_args=(
    [contacts-100000-10]="--contacts 100000 --folders 10 --seed 9"
    [contacts-0-10]="--contacts 0 --folders 10 --seed 9"
    [mixed-500-20-200000]="--contacts 500 --folders 20 --other 200000 --seed 9"
    [contacts-20000-1]="--contacts 20000 --folders 1 --seed 9"
    [contacts-100000-1]="--contacts 100000 --folders 1 --seed 9"
    [contacts-20000-10]="--contacts 20000 --folders 10 --seed 9"
    [contacts-1000000-10]="--contacts 1000000 --folders 10 --seed 9"
)
declare -A case_files=(
    [contacts]="contacts-100000-10 contacts-0-10"
    [mixed]="mixed-500-20-200000"
    [linear]="contacts-20000-1 contacts-100000-1"
    [speed]="contacts-100000-10 mixed-500-20-200000"
    [million]="contacts-20000-10 contacts-1000000-10"
)

# A file is reused when it was made by the same arguments and is newer than pst-fixture.
file_is_current() {
    local name=$1
    [ -f "$work/$name.pst" ] && [ "$work/$name.pst" -nt "$bin/pst-fixture" ] &&
        [ "$(cat "$work/$name.args" 2>/dev/null)" = "${fixture_args[$name]}" ]
}

# Stops before generating when the files to make (about 3.1 KiB per item) do not fit.
check_space() {
    local need_kib=0 name items
    for c in "${cases[@]}"; do
        for name in ${case_files[$c]}; do
            file_is_current "$name" && continue
            items=$(awk '{ for (i = 1; i < NF; ++i) if ($i == "--contacts" || $i == "--other") n += $(i + 1) } END { print n + 0 }' \
                <<<"${fixture_args[$name]}")
            need_kib=$((need_kib + items * 32 / 10 + 1024))
        done
    done
    local avail_kib
    avail_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
    df -h "$work" | sed 's/^/# /'
    echo "# files to generate: $((need_kib / 1024)) MiB"
    if [ "$need_kib" -gt $((avail_kib - 1048576)) ]; then
        echo "run.sh: not enough space in $work for the files (need $((need_kib / 1024)) MiB + 1 GiB spare)" >&2
        exit 2
    fi
}

make_file() {
    local name=$1
    file_is_current "$name" && return 0
    rm -f "$work/$name.pst" "$work/$name.args"
    # shellcheck disable=SC2086 # the arguments are words
    "$bin/pst-fixture" ${fixture_args[$name]} "$work/$name.pst.part" >/dev/null
    mv "$work/$name.pst.part" "$work/$name.pst"
    echo "${fixture_args[$name]}" >"$work/$name.args"
}

# ---- measuring

faults=0
missed=0
fault() {
    faults=$((faults + 1))
    {
        echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
        echo "!!! $*"
        echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
    }
}

# Runs a command $runs times (default REPEAT) under GNU time, standard output to $out_file; keeps the run with
# the least processor time in M_WALL, M_CPU (seconds), M_KIB (peak resident KiB) and M_SWITCHES
# (context switches, as perf stat counts them: M_WAITS the program's own, waiting, plus M_PREEMPTED,
# taken from it by the machine's other work). M_OK=0
# when the command failed (its last lines of standard error are shown). $prepare, when set, is
# run before each run. M_START: the epoch seconds at which the last run started.
measure() {
    local out_file=$1
    shift
    M_OK=1 M_WALL=- M_CPU=- M_KIB=- M_SWITCHES=- M_WAITS=- M_PREEMPTED=-
    local best="" r
    for ((r = 0; r < ${runs:-$repeat}; ++r)); do
        [ -z "${prepare:-}" ] || $prepare
        M_START=$(date +%s.%N)
        if ! /usr/bin/time -f '%e %U %S %M %w %c' -o "$work/time.txt" "$@" >"$out_file" 2>"$work/stderr.txt"; then
            M_OK=0
            fault "failed: $* ($(head -n 1 "$work/time.txt"))"
            grep -v '^Command exited' "$work/stderr.txt" | tail -n 5 | sed 's/^/    /' || true
            rm -f "$out_file" # nothing to compare
            return 0
        fi
        local run
        run=$(awk '{ printf "%s %.2f %s %d %d %d\n", $1, $2 + $3, $4, $5 + $6, $5, $6 }' "$work/time.txt")
        if [ -z "$best" ] || awk -v a="$run" -v b="$best" 'BEGIN { split(a, x); split(b, y); exit !(x[2] < y[2]) }'; then
            best=$run
        fi
    done
    read -r M_WALL M_CPU M_KIB M_SWITCHES M_WAITS M_PREEMPTED <<<"$best"
}

row() { printf '%-28s %-16s %8s %8s %9s %8s %9s %9s\n' "$@"; }
mib() { [ "$1" = - ] && echo - || awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
per_contact() { # cpu seconds, contacts -> microseconds per contact
    [ "$1" = - ] || [ "${2:-0}" = 0 ] && echo - || awk -v s="$1" -v n="$2" 'BEGIN { printf "%.1f", s * 1e6 / n }'
}
note() { printf '%-28s %s\n' "" "$*"; }

# goal TEXT VALUE OP LIMIT: prints the check and counts a miss; "n/a" when VALUE is unknown.
goal() {
    local text=$1 value=$2 op=$3 limit=$4 verdict
    if [ "$value" = - ]; then
        verdict="n/a (a program failed)"
    elif awk -v v="$value" -v l="$limit" "BEGIN { exit !(v $op l) }"; then
        verdict=met
    else
        verdict=MISSED
        missed=$((missed + 1))
    fi
    note "goal: $text = $value (goal $op $limit): $verdict"
}
ratio() { [ "$1" = - ] || [ "$2" = - ] && echo - || awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 1e9) }'; }

# Each program's run sets P_CPU[program] etc. for the case's checks; `name` labels the row.
declare -A P_CPU P_KIB P_COUNT
run_convert() { # reader file expected -> row; list in $work/list-READER.txt
    local reader=$1 file=$2 expected=$3 label=${4:-$1}
    local out="$work/list-$label.txt"
    local runs=$repeat
    [ "$reader" != libpff ] || runs=1
    measure "$out" "$bin/pelimoor-convert" --reader "$reader" --list "$work/$file.pst"
    local n=-
    [ "$M_OK" = 0 ] || n=$(wc -l <"$out")
    record "$label" "pelimoor $reader" "$n"
    if [ "$n" != - ] && [ "$n" != "$expected" ]; then
        fault "$reader reader listed $n contacts in $file.pst, the file holds $expected"
    fi
}
run_floor() {
    local file=$1 expected=$2
    runs=1 measure "$work/floor.txt" "$bin/pff-floor" "$work/$file.pst"
    local n=-
    [ "$M_OK" = 0 ] || n=$(tail -n 1 "$work/floor.txt")
    record floor "pff-floor" "$n"
    if [ "$n" != - ] && [ "$n" != "$expected" ]; then
        fault "pff-floor met $n contacts in $file.pst, the file holds $expected"
    fi
}
readpst_dir() { rm -rf "$work/readpst" && mkdir -p "$work/readpst"; }
run_readpst() { # file expected ("-": not compared)
    local file=$1 expected=$2
    prepare=readpst_dir measure "$work/readpst.txt" readpst -q -t c -cv -o "$work/readpst" "$work/$file.pst"
    local n=-
    [ "$M_OK" = 0 ] || n=$(find "$work/readpst" -type f -exec cat {} + | grep -c '^BEGIN:VCARD' || true)
    record readpst "readpst -t c" "$n"
    if [ "$expected" != - ] && [ "$n" != - ] && [ "$n" != "$expected" ]; then
        fault "readpst wrote $n vCards for $file.pst, the file holds $expected contacts"
    fi
}
record() { # key program count
    P_CPU[$1]=$M_CPU P_KIB[$1]=$M_KIB P_COUNT[$1]=$3
    row "$name" "$2" "$M_WALL" "$M_CPU" "$(mib "$M_KIB")" "$3" "$(per_contact "$M_CPU" "$3")" "$M_SWITCHES"
    name=""
}

# The two readers must list the same contacts, line for line.
same_lists() {
    local a="$work/list-$1.txt" b="$work/list-$2.txt" file=$3
    [ -f "$a" ] && [ -f "$b" ] || return 0
    if cmp -s "$a" "$b"; then
        note "native and libpff lists identical (cmp): ${P_COUNT[$1]} lines"
        return 0
    fi
    local kept="$build/bench/scan/mismatch-$file"
    mkdir -p "$kept" && cp "$a" "$b" "$kept/"
    fault "MISMATCH: --reader $1 and --reader $2 list different contacts for $file.pst ($(wc -l <"$a") vs $(wc -l <"$b") lines); lists kept in $kept"
    diff "$a" "$b" | head -n 10 | cut -c 1-160 | sed 's/^/    /' || true
}

# ---- the cases

case_contacts() {
    local file=contacts-100000-10 n=100000
    name="100,000 contacts, 10 folders"
    run_convert native "$file" $n
    run_convert libpff "$file" $n
    same_lists native libpff "$file"
    run_readpst "$file" $n
    name="empty scan (0, 10 folders)"
    run_convert native contacts-0-10 0 empty
    goal "libpff/native cpu" "$(ratio "${P_CPU[libpff]}" "${P_CPU[native]}")" '>=' 30
    goal "readpst/native cpu" "$(ratio "${P_CPU[readpst]}" "${P_CPU[native]}")" '>' 1
    local mem=-
    [ "${P_KIB[native]}" = - ] || [ "${P_KIB[empty]}" = - ] ||
        mem=$(awk -v a="${P_KIB[native]}" -v b="${P_KIB[empty]}" -v n=$n 'BEGIN { printf "%.2f", (a - b) * 1.024 / n }')
    goal "native peak above the empty scan, KB per contact" "$mem" '<=' 2
}

case_mixed() {
    local file=mixed-500-20-200000 n=500
    name="500 contacts + 200,000 other"
    run_convert native "$file" $n
    run_convert libpff "$file" $n
    same_lists native libpff "$file"
    run_readpst "$file" -
    local last
    last=$(find "$work/readpst" -type f -printf '%T@\n' | sort -n | tail -n 1)
    [ -z "$last" ] || note "readpst wrote its last vCard $(awk -v a="$last" -v b="$M_START" 'BEGIN { printf "%.2f", a - b }') s (wall) after it started; it counts custom contact forms and some distribution lists as contacts"
    note "time to the last contact = the whole run for pelimoor-convert (--list writes after the scan, which ends when every folder is visited)"
    note "cpu: libpff/native $(ratio "${P_CPU[libpff]}" "${P_CPU[native]}"), readpst/native $(ratio "${P_CPU[readpst]}" "${P_CPU[native]}")"
}

case_linear() {
    name="20,000 contacts, 1 folder"
    run_convert native contacts-20000-1 20000 native20k
    run_convert libpff contacts-20000-1 20000 libpff20k
    same_lists native20k libpff20k contacts-20000-1
    run_floor contacts-20000-1 20000
    name="100,000 contacts, 1 folder"
    run_convert native contacts-100000-1 100000 native100k
    local a b growth=-
    a=$(per_contact "${P_CPU[native20k]}" 20000)
    b=$(per_contact "${P_CPU[native100k]}" 100000)
    [ "$a" = - ] || [ "$b" = - ] || growth=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", (a > b ? a / b : b / a) }')
    goal "native cpu per contact, larger/smaller of 20,000 and 100,000" "$growth" '<=' 1.5
    note "for scale at 20,000: libpff/native cpu $(ratio "${P_CPU[libpff20k]}" "${P_CPU[native20k]}"), libpff/floor cpu $(ratio "${P_CPU[libpff20k]}" "${P_CPU[floor]}") (our share of the libpff scan)"
}

# Wall seconds to read every byte of a file from the page cache (dd bs=1M), best of three, to the
# millisecond (GNU time's hundredths round a read of a few hundred MiB to 0.01 or 0.02 s, which
# doubles or halves the ratio).
read_bytes() {
    local best="" t start end
    for _ in 1 2 3; do
        start=$(date +%s%N)
        dd if="$1" of=/dev/null bs=1M 2>/dev/null
        end=$(date +%s%N)
        t=$(((end - start) / 1000000))
        if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    done
    awk -v ms="$best" 'BEGIN { printf "%.3f", (ms < 1 ? 1 : ms) / 1000 }'
}

# Wall time against the time to read the file's bytes (the scan at memory speed): the native
# reader's --list, best of REPEAT runs by processor time.
case_speed() {
    local file dd
    name="100,000 contacts, 10 folders"
    file=contacts-100000-10
    dd=$(read_bytes "$work/$file.pst")
    run_convert native "$file" 100000
    note "read the file's bytes (dd bs=1M): $dd s"
    goal "native wall, s" "$M_WALL" '<=' 0.5
    goal "native wall / dd" "$(ratio "$M_WALL" "$dd")" '<=' 8
    name="500 contacts + 200,000 other"
    file=mixed-500-20-200000
    dd=$(read_bytes "$work/$file.pst")
    run_convert native "$file" 500
    note "read the file's bytes (dd bs=1M): $dd s"
    goal "native wall, s" "$M_WALL" '<=' 0.3
    goal "native wall / dd" "$(ratio "$M_WALL" "$dd")" '<=' 5
}

# A million contacts (a file of about 3 GB; readpst and libpff are not run: hours).
case_million() {
    name="20,000 contacts, 10 folders"
    run_convert native contacts-20000-10 20000 native20k
    local wall20k=$M_WALL
    name="1,000,000 contacts, 10 folders"
    run_convert native contacts-1000000-10 1000000 native1m
    goal "native wall, s" "$M_WALL" '<=' 5
    note "context switches: $M_WAITS waits, $M_PREEMPTED preemptions (the machine's other work)"
    goal "native context switches" "$M_SWITCHES" '<=' 10000
    local a b growth=-
    a=$(awk -v s="$wall20k" 'BEGIN { printf "%.3f", s * 1e6 / 20000 }')
    b=$(awk -v s="$M_WALL" 'BEGIN { printf "%.3f", s * 1e6 / 1000000 }')
    [ "$wall20k" = - ] || [ "$M_WALL" = - ] || growth=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", b / a }')
    note "wall per contact: $a us at 20,000, $b us at 1,000,000"
    goal "wall per contact, 1,000,000 / 20,000" "$growth" '<=' 1.2
    local kb=-
    [ "${P_KIB[native1m]}" = - ] || kb=$(awk -v k="${P_KIB[native1m]}" 'BEGIN { printf "%.2f", k * 1.024 / 1000000 }')
    goal "native peak, KB per contact" "$kb" '<=' 1.7
    [ -z "${AGAINST:-}" ] || against_million
}

# Minimum and median of numbers ("-" when there are none).
min_median() {
    printf '%s\n' "$@" | grep -v '^-$' | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "- -"; else print v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# AGAINST=BUILD_DIR: the 1,000,000-contact scan by that build's pelimoor-convert (today's, say) and by
# this one, one after the other REPEAT times (the machine's load then weighs on both alike).
against_million() {
    local other="$AGAINST/bin/pelimoor-convert" file="$work/contacts-1000000-10.pst" r
    local ours=() theirs=() ours_sw=() theirs_sw=()
    [ -x "$other" ] || { fault "AGAINST: $other not found"; return 0; }
    for ((r = 0; r < repeat; ++r)); do
        runs=1 measure "$work/list-against.txt" "$other" --reader native --list "$file"
        theirs+=("$M_WALL") theirs_sw+=("$M_SWITCHES")
        runs=1 measure "$work/list-native1m.txt" "$bin/pelimoor-convert" --reader native --list "$file"
        ours+=("$M_WALL") ours_sw+=("$M_SWITCHES")
        if [ -f "$work/list-against.txt" ] && [ -f "$work/list-native1m.txt" ] &&
            ! cmp -s "$work/list-against.txt" "$work/list-native1m.txt"; then
            fault "MISMATCH: $other and $bin/pelimoor-convert list different contacts for contacts-1000000-10.pst"
        fi
    done
    local o t
    read -r -a o <<<"$(min_median "${ours[@]}")"
    read -r -a t <<<"$(min_median "${theirs[@]}")"
    note "against $other, $repeat alternating runs, wall min/median: ${o[0]}/${o[1]} s here, ${t[0]}/${t[1]} s there"
    note "context switches min/median: $(min_median "${ours_sw[@]}" | tr ' ' /) here, $(min_median "${theirs_sw[@]}" | tr ' ' /) there"
    goal "median wall here / there" "$(ratio "${o[1]}" "${t[1]}")" '<=' 0.7
}

check_space
echo "# REPEAT=$repeat, CASES=${cases[*]}, $(nproc) cores, load $(cut -d ' ' -f 1-3 /proc/loadavg)"
row "case" "program" "wall s" "cpu s" "peak MiB" "contacts" "cpu us/c" "switches"
for c in "${cases[@]}"; do
    for f in ${case_files[$c]}; do make_file "$f"; done
    P_CPU=() P_KIB=() P_COUNT=()
    "case_$c"
done
rm -rf "$work/readpst" "$work"/list-*.txt "$work"/*.txt

if [ "$faults" -gt 0 ]; then
    echo "run.sh: $faults fault(s): a program failed or the readers disagree (see the !!! lines)" >&2
    exit 1
fi
[ "$missed" = 0 ] || { echo "run.sh: $missed goal(s) missed" >&2; exit 3; }
