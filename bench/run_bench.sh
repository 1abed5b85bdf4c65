#!/usr/bin/env bash
# Times cairnfix on large generated bases against `cat` of the files it reads, and prints
# one compact table with PASS/FAIL against the performance targets.
#
#   bench/run_bench.sh [--build DIR] [--runs N] [--analysis] [--repair] [--verbose] [--stale]
#                      [--scale] [--realign] [--crafted] [--scattered] [--check]
#
#   --analysis  -x on B, the 500,000-message base with a 200,000-user .JLR, on the same
#               messages with 100 users, and on 10,000 messages
#   --repair    -r -x -p on a fresh copy of B
#   --verbose   -x -v on B, the report written to a file
#   --stale     -r -x on a fresh copy of B in which every MSGID/REPLY CRC is stale
#   --scale     600,000 headers analysed and rebuilt; .JDT and .JHR larger than 2 GiB
#   --realign   -r on a copy of B whose .JHR has a spurious byte at offset 4: the in-place
#               realignment's time against `cat` of that .JHR, and its peak RSS
#   --crafted   -x on 1,000 messages with a .JLR of 200,000 UserIDs crafted to collide in a
#               hash table keyed by a fixed multiplier, against the same with random IDs
#   --scattered -s against -x on 400,000 messages of which 25 are live, the headers in .JHR
#               in random order, so the summary looks up headers all over the file
#   --check     quick self-test of the generator: deterministic bytes, a healthy base
#   --runs N    rounds of the timed series (default 9); every time shown is the median
#   --build DIR the build holding cairnfix and bench/make_bench_base (default build/release)
#
# Without a mode, the first four run. They share one series: each round runs the floor
# `cat B.jhr B.jdx B.jlr > /dev/null` and then every command once, so each ratio compares
# medians measured side by side under the same load. -x on B is always part of it: -x -v
# and the stale repair are measured against it.
#
# Bases are generated once and kept under build/bench-data/; they are generated anew when
# the sources of the generator change.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build/release
DATA=$ROOT/build/bench-data
RUNS=9
MODES=()
usage() {
    echo "usage: $0 [--build DIR] [--runs N] [--analysis] [--repair] [--verbose] [--stale]" \
        "[--scale] [--realign] [--crafted] [--scattered] [--check]" >&2
    exit 1
}
while (($#)); do
    case $1 in
    --build) BUILD=$(cd "$2" && pwd); shift ;;
    --runs) [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage; RUNS=$2; shift ;;
    --analysis | --repair | --verbose | --stale | --scale | --realign | --crafted | --scattered | --check) MODES+=("${1#--}") ;;
    *) usage ;;
    esac
    shift
done
((${#MODES[@]})) || MODES=(analysis repair verbose stale)

TOOL=$BUILD/cairnfix
GEN=$BUILD/bench/make_bench_base
for bin in "$TOOL" "$GEN"; do
    [[ -x $bin ]] || { echo "missing $bin - build it first (make build)" >&2; exit 1; }
done
export TZ=UTC
MIB=$((1024 * 1024))
GIB=$((1024 * MIB))
FAILED=0
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
cd "$ROOT" # the commands are printed relative to it, ready to paste

# ---- helpers ------------------------------------------------------------------------

# "wall user system" time of one command in microseconds; its output goes to $SINK (default
# /dev/null), its status is ignored (cairnfix exits 2 whenever it reports an issue). The
# shell's clock costs no process; user and system time are the shell's account of its
# children, so this runs in a subshell of its own, as $(time_us ...) does.
time_us() {
    local t0=${EPOCHREALTIME/./} t1 f=$TMP/times.$BASHPID
    "$@" >"${SINK:-/dev/null}" 2>/dev/null || true
    t1=${EPOCHREALTIME/./}
    times >"$f" # the second line: children's user and system time, as 0m1.234s
    tail -1 "$f" | awk -v w=$((t1 - t0)) '
        function us(t) { split(t, p, /[ms]/); return int((p[1] * 60 + p[2]) * 1e6 + 0.5) }
        {print w, us($1), us($2)}'
    rm -f "$f"
}
wall_us() { time_us "$@" | cut -d' ' -f1; }

# Peak resident set size of one command, in KiB; its output goes to $SINK.
peak_kib() {
    /usr/bin/time -f '%M' -o "$TMP/rss" "$@" >"${SINK:-/dev/null}" 2>/dev/null || true
    tail -1 "$TMP/rss" # time puts a line about a nonzero exit status before it
}

# The issue count of a report on standard input ("-" when the report has none).
issue_count() {
    sed -n 's/^=== Issues Found: \([0-9]*\) ===$/\1/p' | tail -1 | grep . || echo -
}

# Seconds (from microseconds), ratios, MiB (from KiB) and MB (from bytes) for the table.
secs() { awk -v n="$1" 'BEGIN {printf "%.3f", n / 1e6}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", (b > 0 ? a / b : 0)}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
mb() { awk -v n="$1" 'BEGIN {printf "%.1f", n / 1e6}'; }

# Prints one target line and remembers a failure.
verdict() { # label value ok(0/1)
    local word=PASS
    (($3)) || { word=FAIL; FAILED=1; }
    printf '  %-46s %13s  %s\n' "$1" "$2" "$word"
}
# 1 when the command succeeds, else 0: the last argument of verdict.
ok() { if "$@"; then echo 1; else echo 0; fi; }
below() { ok awk -v a="$1" -v b="$2" 'BEGIN {exit !(a < b)}'; }

warm() { cat "$1".j?? >/dev/null; }

# A path relative to ROOT, quoted for the shell: the form in which commands are run and shown.
q() {
    if [[ $1 == /dev/* ]]; then echo "$1"; else printf '%q' "$(realpath -m --relative-to="$ROOT" "$1")"; fi
}

# Generates <dir>/base with the given arguments unless the cached one was made from the
# same generator sources with the same arguments. GEN_CMD keeps the command per directory.
declare -A GEN_CMD
ensure_base() { # dir messages users [generator option]
    local dir=$1 stamp
    shift
    GEN_CMD[$dir]="$(q "$GEN") ${3:+$3 }$(q "$dir") base $1 $2"
    stamp="$* $(cat "$ROOT"/bench/make_bench_base.cpp "$ROOT"/support/base_builder.cpp \
        "$ROOT"/src/format/jam.cpp | cksum)"
    [[ -f $dir/stamp && $(<"$dir/stamp") == "$stamp" ]] && return
    echo "generating: ${GEN_CMD[$dir]}" >&2
    rm -rf "$dir" && mkdir -p "$dir"
    "$GEN" ${3:+"$3"} "$dir" base "$1" "$2" >/dev/null
    echo "$stamp" >"$dir/stamp"
}

# The 500,000-message bases: the 200,000-user variant is generated, and the plain one shares
# its .JHR/.JDT/.JDX through hard links. The generator draws the .JLR from a stream of its
# own, so the first 100 records of that .JLR are exactly the 100-user file.
ensure_big_bases() {
    ensure_base "$DATA/500k-u200k" 500000 200000
    local dir=$DATA/500k stamp
    stamp=$(<"$DATA/500k-u200k/stamp")
    [[ -f $dir/stamp && $(<"$dir/stamp") == "$stamp" ]] && return
    rm -rf "$dir" && mkdir -p "$dir"
    ln "$DATA"/500k-u200k/base.{jhr,jdt,jdx} "$dir/"
    head -c $((100 * 16)) "$DATA/500k-u200k/base.jlr" >"$dir/base.jlr"
    echo "$stamp" >"$dir/stamp"
}

# The 500,000-message, 200,000-user base with every MSGID/REPLY CRC stale. Only its .JHR
# differs: the other files must equal the healthy base's, and are then replaced by hard
# links to them.
ensure_stale_base() {
    local dir=$DATA/500k-u200k-stale f
    ensure_base "$dir" 500000 200000 --textbook-crc
    for f in jdt jdx jlr; do
        [[ $dir/base.$f -ef $DATA/500k-u200k/base.$f ]] && continue
        cmp -s "$dir/base.$f" "$DATA/500k-u200k/base.$f" ||
            { echo "the stale-CRC base differs from the healthy one in .${f^^}" >&2; exit 1; }
        ln -f "$DATA/500k-u200k/base.$f" "$dir/base.$f"
    done
}

# Reads and writes one little-endian 32-bit value of a file.
u32_at() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
put_u32() { # file offset value
    printf "$(printf '\\x%02x' $(($3 & 255)) $(($3 >> 8 & 255)) $(($3 >> 16 & 255)) $(($3 >> 24 & 255)))" |
        dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

fresh_copy() { # src dst
    rm -rf "$2" && mkdir -p "$2"
    cp --sparse=always "$1"/base.j?? "$2/"
}

has_mode() { [[ " ${MODES[*]} " == *" $1 "* ]]; }

# ---- the timed series ---------------------------------------------------------------

# Each command of the series has an id. Per id: the command line, run from ROOT through eval
# and printed as it is; the file its output goes to; an untimed shell command that runs
# before each timed run; its wall, user and system times in microseconds; and the peak RSS
# of one more run after the series.
IDS=()
declare -A CMD OUT PREP US USR SYS RSS ISSUES
add() { # id command output [preparation]
    IDS+=("$1")
    CMD[$1]=$2 OUT[$1]=$3 PREP[$1]=${4:-} US[$1]="" USR[$1]="" SYS[$1]=""
}

# "median min max" of a list of times.
spread() {
    tr ' ' '\n' <<<"$1" | grep . | sort -n |
        awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2), a[1], a[NR]}'
}
median() { spread "$1" | cut -d' ' -f1; }

# Facts taken from the output of the extra run of a command, for the checks.
inspect() { # id output-file
    case $1 in
    x)
        ISSUES[x]=$(issue_count <"$2")
        LIVE=$(sed -n 's/^  Active msgs *: \([0-9]*\)$/\1/p' "$2" | head -1)
        DELETED=$(sed -n 's/^  Deleted msgs *: \([0-9]*\)$/\1/p' "$2" | head -1)
        ;;
    x100 | x10k) ISSUES[$1]=$(issue_count <"$2") ;;
    xv) VERBOSE_LINES=$(wc -l <"$2") VERBOSE_BYTES=$(stat -c %s "$2") ;;
    rxp)
        JDX_SAME=$(ok cmp -s "$DATA/500k-u200k/base.jdx" "$WORK/base.jdx")
        ISSUES[rxp]=$("$TOOL" -x "$WORK/base" 2>/dev/null | issue_count || true)
        ;;
    rxs)
        FIXED=$(sed -n 's/^  Fixed \([0-9]*\) MSGID\/REPLYID CRCs$/\1/p' "$2" | grep . || echo 0)
        ACTIVE=$(sed -n 's/^  Active msgs *: \([0-9]*\)$/\1/p' "$2" | head -1)
        ISSUES[rxs]=$("$TOOL" -x "$WORK/base" 2>/dev/null | issue_count || true)
        ;;
    esac
}

run_series() {
    ensure_big_bases
    local B P T S W V t id r m wall user sys bases=("$DATA/500k-u200k/base")
    WORK=$DATA/scratch/repair
    B=$(q "$DATA/500k-u200k/base") P=$(q "$DATA/500k/base") W=$(q "$WORK/base")
    V=$(q "$DATA/scratch/verbose.txt")
    add floor "cat $B.jhr $B.jdx $B.jlr" /dev/null
    add x "$(q "$TOOL") -x $B" /dev/null
    if has_mode analysis; then
        ensure_base "$DATA/10k" 10000 100
        T=$(q "$DATA/10k/base")
        add x100 "$(q "$TOOL") -x $P" /dev/null
        add x10k "$(q "$TOOL") -x $T" /dev/null
        bases+=("$DATA/10k/base")
    fi
    if has_mode verbose; then
        mkdir -p "$DATA/scratch"
        add xv "$(q "$TOOL") -x -v $B" "$DATA/scratch/verbose.txt" "rm -f $V && sync"
    fi
    if has_mode repair; then
        add rxp "$(q "$TOOL") -r -x -p $W" /dev/null \
            "rm -rf $(q "$WORK") && mkdir -p $(q "$WORK") && cp $B.j?? $(q "$WORK") && sync"
    fi
    if has_mode stale; then
        ensure_stale_base
        S=$(q "$DATA/500k-u200k-stale/base")
        bases+=("$DATA/500k-u200k-stale/base")
        add rxs "$(q "$TOOL") -r -x $W" /dev/null \
            "rm -rf $(q "$WORK") && mkdir -p $(q "$WORK") && cp $S.j?? $(q "$WORK") && sync"
    fi

    echo
    echo "bases (generated once, cached in $(q "$DATA"))"
    printf '  B  %s: 500,000 messages, 200,000-user .JLR (the base of issue 12);' "$B"
    for t in jhr jdt jdx jlr; do
        printf ' .%s %s MB' "${t^^}" "$(mb "$(stat -c %s "$DATA/500k-u200k/base.$t")")"
    done
    printf '\n     %s\n' "${GEN_CMD[$DATA/500k-u200k]}"
    if has_mode analysis; then
        printf '  %s: the messages of B, 100 users (the first 100 records of its .JLR)\n' "$P"
        printf '  %s: 10,000 messages, 100 users\n     %s\n' "$T" "${GEN_CMD[$DATA/10k]}"
    fi
    if has_mode stale; then
        printf '  S  %s: B with every MSGIDcrc and REPLYcrc as the textbook CRC-32 gives it\n' "$S"
        printf '     (complemented, no case folding); .JDT, .JDX, .JLR are those of B\n'
        printf '     %s\n' "${GEN_CMD[$DATA/500k-u200k-stale]}"
    fi
    echo "commands, run from $ROOT; each round syncs, reads the bases once (both untimed) and"
    echo "then runs them once in this order"
    for id in "${IDS[@]}"; do
        printf '  %-6s %s > %s\n' "$id" "${CMD[$id]}" "$(q "${OUT[$id]}")"
        [[ -z ${PREP[$id]} ]] || printf '         untimed before each run: %s\n' "${PREP[$id]}"
    done

    for ((r = 1; r <= RUNS; r++)); do
        echo "round $r of $RUNS" >&2
        # The last round's report and repaired copies are written out first, so that their
        # writeback does not run alongside this round; and as they can push parts of a base
        # out of the page cache, the bases are read in again.
        sync
        for t in "${bases[@]}"; do warm "$t"; done
        for id in "${IDS[@]}"; do
            [[ -z ${PREP[$id]} ]] || eval "${PREP[$id]}"
            read -r wall user sys < <(SINK=${OUT[$id]} time_us eval "${CMD[$id]}")
            US[$id]+="$wall " USR[$id]+="$user " SYS[$id]+="$sys "
        done
    done
    for id in "${IDS[@]}"; do
        [[ -z ${PREP[$id]} ]] || eval "${PREP[$id]}"
        [[ ${OUT[$id]} == /dev/null ]] && m=$TMP/out || m=${OUT[$id]}
        RSS[$id]=$(SINK=$m peak_kib bash -c "exec ${CMD[$id]}")
        inspect "$id" "$m"
    done
    print_results
    rm -rf "$WORK" "$DATA/scratch/verbose.txt"
}

# The table of the series, its targets and its checks.
print_results() {
    local id m lo hi rel t floor x r_x
    echo
    echo "medians of $RUNS round(s): wall time (with its least and greatest), user and system"
    echo "time; peak RSS of one more run"
    printf '  %-6s %9s %9s %9s %8s %8s %8s  %s\n' id 'median s' 'min s' 'max s' 'user s' 'sys s' \
        'RSS MiB' ratio
    for id in "${IDS[@]}"; do
        read -r m lo hi <<<"$(spread "${US[$id]}")"
        case $id in
        x | rxp) rel="$(ratio "$m" "$(median "${US[floor]}")")x floor" ;;
        xv | rxs) rel="$(ratio "$m" "$(median "${US[x]}")")x x" ;;
        *) rel="" ;;
        esac
        printf '  %-6s %9s %9s %9s %8s %8s %8s  %s\n' "$id" "$(secs "$m")" "$(secs "$lo")" \
            "$(secs "$hi")" "$(secs "$(median "${USR[$id]}")")" "$(secs "$(median "${SYS[$id]}")")" \
            "$(mib "${RSS[$id]}")" "$rel"
    done

    floor=$(median "${US[floor]}") x=$(median "${US[x]}")
    r_x=$(ratio "$x" "$floor")
    echo "targets (ratios of the medians above)"
    if has_mode analysis; then
        local per_msg extra
        per_msg=$(awk -v a="$(median "${US[x100]}")" -v b="$(median "${US[x10k]}")" \
            'BEGIN {printf "%.2f", (a / 500000) / (b / 10000)}')
        extra=$(awk -v a="$x" -v b="$(median "${US[x100]}")" 'BEGIN {printf "%.3f", (a - b) / 1e6}')
        verdict "x: -x on B at most 6x the floor" "${r_x}x" "$(below "$r_x" 6.0001)"
        verdict "x100/x10k: time per message within 1.3x" "${per_msg}x" "$(below "$per_msg" 1.3001)"
        verdict "x: peak RSS at 500,000 under 48 MiB" "$(mib "${RSS[x]}") MiB" \
            "$(below "${RSS[x]}" $((48 * 1024)))"
        verdict "x - x100: the 200,000-user .JLR adds < 0.1 s" "$extra s" "$(below "$extra" 0.1)"
    fi
    if has_mode repair; then
        t=$(ratio "$(median "${US[rxp]}")" "$floor")
        verdict "rxp: -r -x -p on a copy of B at most 15x floor" "${t}x" "$(below "$t" 15.0001)"
        verdict "rxp: peak RSS under 48 MiB" "$(mib "${RSS[rxp]}") MiB" \
            "$(below "${RSS[rxp]}" $((48 * 1024)))"
    fi
    if has_mode verbose; then
        t=$(ratio "$(median "${US[xv]}")" "$x")
        verdict "xv: -x -v to a file at most 8x x" "${t}x" "$(below "$t" 8.0001)"
    fi
    if has_mode stale; then
        t=$(ratio "$(median "${US[rxs]}")" "$x")
        verdict "rxs: -r -x, every CRC stale, at most 4x x" "${t}x" "$(below "$t" 4.0001)"
    fi
    echo "checks (on the extra run)"
    printf '  x: B has %s live and %s deleted messages (%s%% deleted)\n' "$LIVE" "$DELETED" \
        "$(awk -v d="$DELETED" -v l="$LIVE" 'BEGIN {printf "%.1f", 100 * d / (d + l)}')"
    for id in x x100 x10k; do
        [[ -z ${ISSUES[$id]:-} ]] ||
            verdict "$id: the generated base is healthy" "${ISSUES[$id]} issues" "$(ok [ "${ISSUES[$id]}" = 0 ])"
    done
    if has_mode verbose; then
        printf '  xv: the report has %d lines, %s MB\n' "$VERBOSE_LINES" "$(mb "$VERBOSE_BYTES")"
    fi
    if has_mode repair; then
        verdict "rxp: rebuilt .JDX equals the generated one" "" "$JDX_SAME"
        verdict "rxp: a second -x finds no issue" "${ISSUES[rxp]} issues" "$(ok [ "${ISSUES[rxp]}" = 0 ])"
    fi
    if has_mode stale; then
        verdict "rxs: one header rewrite per live message" "$FIXED/$ACTIVE" \
            "$(ok [ "$FIXED" = "$ACTIVE" ])"
        verdict "rxs: a second -x finds no issue" "${ISSUES[rxs]} issues" "$(ok [ "${ISSUES[rxs]}" = 0 ])"
    fi
}

# ---- other modes --------------------------------------------------------------------

# The value of a "  Label : N bytes" line in the given section of a report.
section_size() { # report heading
    awk -v h="=== $2 ===" '$0 ~ h {s = 1; next} /^===/ {s = 0} s && /Size/ {print $3; exit}' <<<"$1"
}

run_scale() {
    ensure_base "$DATA/600k" 600000 100
    ensure_base "$DATA/10k" 10000 100
    local src=$DATA/600k work=$DATA/scratch/scale t_x t_p rss issues report records shown
    echo
    echo "scale"
    fresh_copy "$src" "$work"
    warm "$work/base"
    t_x=$(wall_us "$TOOL" -x "$work/base")
    rss=$(peak_kib "$TOOL" -x "$work/base")
    issues=$("$TOOL" -x "$work/base" 2>/dev/null | issue_count || true)
    t_p=$(wall_us "$TOOL" -p "$work/base")
    records=$(($(stat -c %s "$work/base.jdx") / 8))
    printf '  600k headers: -x %ss (%s MiB, %s issues), -p %ss, rebuilt .JDX %d records\n' \
        "$(secs "$t_x")" "$(mib "$rss")" "$issues" "$(secs "$t_p")" "$records"
    verdict "600k: -x finds no issue" "$issues issues" "$(ok [ "$issues" = 0 ])"
    verdict "600k: -p rebuilds 600,000 records" "$records" "$((records == 600000))"
    verdict "600k: rebuilt .JDX as generated" "" "$(ok cmp -s "$src/base.jdx" "$work/base.jdx")"

    # A .JDT of 3 GiB (sparse) with one text moved past 2 GiB and flagged MSG_ESCAPED: its
    # first CR must be reported at its position in the text, which proves that the tool
    # measured the file and read the text at the right place.
    fresh_copy "$DATA/10k" "$work"
    local b=$work/base k hdr attr txt_off txt_len pos new_off=$((2 * GIB + 4096)) expect
    for ((k = 9999; k > 0; k--)); do # the last message neither deleted nor escaped
        hdr=$(u32_at "$b.jdx" $((k * 8 + 4)))
        attr=$(u32_at "$b.jhr" $((hdr + 52)))
        ((attr & 0x80200000)) || break
    done
    txt_off=$(u32_at "$b.jhr" $((hdr + 60)))
    txt_len=$(u32_at "$b.jhr" $((hdr + 64)))
    pos=$(od -An -tu1 -v -j "$txt_off" -N "$txt_len" "$b.jdt" | tr -s ' ' '\n' |
        awk 'NF && $1 == 13 && !seen {print n; seen = 1} NF {n++}')
    truncate -s $((3 * GIB)) "$b.jdt"
    dd if="$b.jdt" of="$b.jdt" bs=1 skip="$txt_off" seek="$new_off" count="$txt_len" \
        conv=notrunc status=none
    put_u32 "$b.jhr" $((hdr + 52)) $((attr | 0x00200000))
    put_u32 "$b.jhr" $((hdr + 60)) "$new_off"
    expect="[  1] Msg[$k]: MSG_ESCAPED: byte 0x0D at pos $pos outside 7-bit range"
    t_x=$(wall_us "$TOOL" -x "$b")
    report=$("$TOOL" -x "$b" 2>&1 || true)
    shown=$(section_size "$report" ".JDT File")
    printf '  .JDT of 3 GiB, text of msg %d at %d: -x %ss, size shown %s\n' "$k" "$new_off" \
        "$(secs "$t_x")" "$shown"
    verdict ".JDT 3 GiB: size and text read right" "" \
        "$([[ $shown == $((3 * GIB)) ]] && ok grep -qF "$expect" <<<"$report" || echo 0)"

    # A .JHR with a sparse hole of zeros past 2 GiB after its last header: the walk must stop
    # at a zero signature right where the hole begins, and the size must show in full.
    fresh_copy "$DATA/10k" "$work"
    local end size
    end=$(stat -c %s "$b.jhr")
    size=$((2 * GIB + 512))
    truncate -s "$size" "$b.jhr"
    t_x=$(wall_us "$TOOL" -x "$b")
    report=$("$TOOL" -x "$b" 2>&1 || true)
    shown=$(section_size "$report" ".JHR File")
    printf '  .JHR of %d bytes (hole after %d): -x %ss, %s issue(s), size shown %s\n' "$size" \
        "$end" "$(secs "$t_x")" "$(issue_count <<<"$report")" "$shown"
    verdict ".JHR > 2 GiB: size and stop offset right" "" \
        "$([[ $shown == "$size" ]] &&
            ok grep -q "bad message sig 0x00000000 at offset $end\$" <<<"$report" || echo 0)"
    rm -rf "$work"
}

# The realignment of B's .JHR with one spurious byte at offset 4, in place: each round makes
# the shifted copy anew (untimed), then times `cat` of it and `cairnfix -r` on it. The copy
# streams, so the peak RSS stays flat whatever the size of the file; the file keeps its
# inode and ends equal to the generated one.
run_realign() {
    ensure_big_bases
    local src=$DATA/500k work=$DATA/scratch/realign b i cats=() runs=() rss inode same
    b=$work/base
    shift_copy() {
        fresh_copy "$src" "$work"
        { head -c 4 "$src/base.jhr"; printf A; tail -c +5 "$src/base.jhr"; } >"$b.jhr.new"
        cat "$b.jhr.new" >"$b.jhr" && rm "$b.jhr.new"
        sync
        warm "$b"
    }
    for ((i = 0; i < RUNS; i++)); do
        shift_copy
        cats+=("$(wall_us cat "$b.jhr")")
        runs+=("$(wall_us "$TOOL" -r "$b")")
    done
    shift_copy
    inode=$(stat -c %i "$b.jhr")
    rss=$(peak_kib "$TOOL" -r "$b")
    same=$(ok cmp -s "$src/base.jhr" "$b.jhr")
    echo
    echo "realign: $(q "$TOOL") -r $(q "$b"), .JHR of $(mb "$(stat -c %s "$b.jhr")") MB," \
        "median of $RUNS against cat of the shifted .JHR"
    printf '  cat %ss, -r %ss (%sx the floor), peak RSS %s MiB\n' "$(secs "$(median "${cats[*]}")")" \
        "$(secs "$(median "${runs[*]}")")" "$(ratio "$(median "${runs[*]}")" "$(median "${cats[*]}")")" \
        "$(mib "$rss")"
    verdict "realign: peak RSS under 48 MiB" "$(mib "$rss") MiB" "$(below "$rss" $((48 * 1024)))"
    verdict "realign: .JHR keeps its inode" "" "$(ok [ "$(stat -c %i "$b.jhr")" = "$inode" ])"
    verdict "realign: .JHR equals the generated one" "" "$same"
    rm -rf "$work"
}

# Two commands timed in turns, RUNS times each after one untimed read of the base; prints
# their medians and checks the second against the first times a limit.
pair() { # label limit base name-a command-a... -- name-b command-b...
    local label=$1 limit=$2 base=$3 a=() b=() ta=() tb=() i ma mb r
    shift 3
    while [[ $1 != -- ]]; do a+=("$1"); shift; done
    shift
    b=("$@")
    warm "$base"
    for ((i = 0; i < RUNS; i++)); do
        ta+=("$(wall_us "${a[@]:1}")")
        tb+=("$(wall_us "${b[@]:1}")")
    done
    ma=$(median "${ta[*]}") mb=$(median "${tb[*]}")
    r=$(ratio "$mb" "$ma")
    printf '  %s: %ss   %s: %ss   (medians of %d)\n' "${a[0]}" "$(secs "$ma")" "${b[0]}" \
        "$(secs "$mb")" "$RUNS"
    verdict "$label" "${r}x" "$(below "$r" "$limit")"
}

# -x on a .JLR of 200,000 crafted UserIDs against one of 200,000 random ones. The IDs are
# all 2^24 or more, so every one goes through the hash table.
run_crafted() {
    ensure_base "$DATA/1k-crafted" 1000 200000 --crafted-ids
    ensure_base "$DATA/1k-random" 1000 200000 --random-ids
    local c=$DATA/1k-crafted/base r=$DATA/1k-random/base
    echo
    echo "crafted: $(q "$TOOL") -x on 200,000 crafted against 200,000 random UserIDs"
    printf '     %s\n     %s\n' "${GEN_CMD[$DATA/1k-crafted]}" "${GEN_CMD[$DATA/1k-random]}"
    warm "$c"
    pair "crafted: crafted IDs within 2x of random ones" 2.0001 "$r" \
        random "$TOOL" -x "$r" -- crafted "$TOOL" -x "$c"
}

# -s against -x on 400,000 messages, 25 of them live, their headers in .JHR in random order:
# the summary reads a header for every index record until it has its rows.
run_scattered() {
    ensure_base "$DATA/400k-scattered" 400000 100 --scattered
    local b=$DATA/400k-scattered/base
    echo
    echo "scattered: $(q "$TOOL") -s against -x on $(q "$b")"
    printf '     %s\n' "${GEN_CMD[$DATA/400k-scattered]}"
    pair "scattered: -s within 3x of -x" 3.0001 "$b" \
        x "$TOOL" -x "$b" -- s "$TOOL" -s "$b"
}

# The generator's own test: the same arguments give the same bytes, the base is healthy,
# and a repair run leaves its index as it was.
run_check() {
    local a=$TMP/a b=$TMP/b same=1 f issues
    mkdir -p "$a" "$b"
    "$GEN" "$a" base 3000 40 7 >/dev/null
    "$GEN" "$b" base 3000 40 7 >/dev/null
    for f in jhr jdt jdx jlr; do cmp -s "$a/base.$f" "$b/base.$f" || same=0; done
    echo
    echo "generator self-test"
    verdict "same arguments, same bytes" "" "$same"
    issues=$("$TOOL" -x "$a/base" 2>/dev/null | issue_count || true)
    verdict "-x finds no issue" "$issues issues" "$(ok [ "$issues" = 0 ])"
    "$TOOL" -r -x -p "$b/base" >/dev/null 2>&1 || true
    verdict "-r -x -p leaves .JDX as generated" "" "$(ok cmp -s "$a/base.jdx" "$b/base.jdx")"
}

echo "cairnfix benchmark - $(git describe --always --dirty 2>/dev/null || echo unknown)," \
    "$(date -u '+%Y-%m-%d %H:%M') UTC, build $(q "$BUILD")"
echo "machine: $(nproc) CPU(s) (nproc), load average $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)," \
    "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), Linux $(uname -r)"
SERIES_DONE=0
for mode in "${MODES[@]}"; do
    case $mode in
    scale | realign | crafted | scattered | check) "run_$mode" ;;
    *) ((SERIES_DONE)) || { run_series; SERIES_DONE=1; } ;;
    esac
done
echo
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$FAILED"
