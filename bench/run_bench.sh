#!/usr/bin/env bash
# Times cairnfix on large generated bases against `cat` of the files it reads, and prints
# a compact table with PASS/FAIL against the performance targets.
#
#   bench/run_bench.sh [--build DIR] [--analysis] [--repair] [--scale] [--check]
#
#   --analysis  -x on bases of 10,000 and 500,000 messages and a 200,000-user .JLR (default)
#   --repair    -r -x -p on fresh copies of the 500,000-message base
#   --scale     600,000 headers analysed and rebuilt; .JDT and .JHR larger than 2 GiB
#   --check     quick self-test of the generator: deterministic bytes, a healthy base
#   --build DIR the build holding cairnfix and bench/make_bench_base (default build/release)
#
# Bases are generated once and kept under build/bench-data/; they are generated anew when
# the sources of the generator change.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build/release
DATA=$ROOT/build/bench-data
MODES=()
while (($#)); do
    case $1 in
    --build) BUILD=$(cd "$2" && pwd); shift ;;
    --analysis | --repair | --scale | --check) MODES+=("${1#--}") ;;
    *) echo "usage: $0 [--build DIR] [--analysis] [--repair] [--scale] [--check]" >&2; exit 1 ;;
    esac
    shift
done
((${#MODES[@]})) || MODES=(analysis)

TOOL=$BUILD/cairnfix
GEN=$BUILD/bench/make_bench_base
for bin in "$TOOL" "$GEN"; do
    [[ -x $bin ]] || { echo "missing $bin - build it first (make build)" >&2; exit 1; }
done
export TZ=UTC
MIB=$((1024 * 1024))
GIB=$((1024 * MIB))
FAILED=0

# ---- helpers ------------------------------------------------------------------------

# Wall time of one command in microseconds; its output is discarded, its status ignored
# (cairnfix exits 2 whenever it reports an issue). The shell's clock costs no process.
time_us() {
    local t0=${EPOCHREALTIME/./}
    "$@" >/dev/null 2>&1 || true
    echo $((${EPOCHREALTIME/./} - t0))
}

# Best of three runs, in microseconds. With PREPARE set, that command runs untimed before
# each run (a fresh copy for a repair).
best_of_3() {
    local best=0 t
    for _ in 1 2 3; do
        [[ -z ${PREPARE:-} ]] || $PREPARE
        t=$(time_us "$@")
        ((best == 0 || t < best)) && best=$t
    done
    echo "$best"
}

# Peak resident set size of one command, in KiB.
peak_kib() {
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

# The issue count of a report on standard input ("-" when the report has none).
issue_count() {
    sed -n 's/^=== Issues Found: \([0-9]*\) ===$/\1/p' | tail -1 | grep . || echo -
}

# Seconds (from microseconds), ratios and per-message microseconds for the table.
secs() { awk -v n="$1" 'BEGIN {printf "%.3f", n / 1e6}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.1f", (b > 0 ? a / b : 0)}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }

# Prints one target line and remembers a failure.
verdict() { # label value ok(0/1)
    local word=PASS
    (($3)) || { word=FAIL; FAILED=1; }
    printf '  %-40s %12s  %s\n' "$1" "$2" "$word"
}
# 1 when the command succeeds, else 0: the last argument of verdict.
ok() { if "$@"; then echo 1; else echo 0; fi; }
below() { ok awk -v a="$1" -v b="$2" 'BEGIN {exit !(a < b)}'; }

warm() { cat "$1".j?? >/dev/null; }

# Generates <dir>/base with the given arguments unless the cached one was made from the
# same generator sources with the same arguments.
ensure_base() { # dir messages users
    local dir=$1 stamp
    stamp="$2 $3 $(cat "$ROOT"/bench/make_bench_base.cpp "$ROOT"/support/base_builder.cpp \
        "$ROOT"/src/format/jam.cpp | cksum)"
    [[ -f $dir/stamp && $(<"$dir/stamp") == "$stamp" ]] && return
    echo "generating $dir ($2 messages, $3 users)..." >&2
    rm -rf "$dir" && mkdir -p "$dir"
    "$GEN" "$dir" base "$2" "$3" >/dev/null
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

# ---- modes --------------------------------------------------------------------------

run_analysis() {
    ensure_base "$DATA/10k" 10000 100
    ensure_big_bases
    echo
    echo "cairnfix -x (best of 3, warm cache)"
    printf '  %-11s %7s %7s %8s %8s %8s %8s %8s %6s\n' base msgs users 'cat s' '-x s' tool/cat \
        'us/msg' 'RSS MiB' issues
    local name msgs users b cat_us tool_us rss issues
    declare -A T R M
    for name in 10k:10000:100 500k:500000:100 500k-u200k:500000:200000; do
        IFS=: read -r name msgs users <<<"$name"
        b=$DATA/$name/base
        warm "$b"
        cat_us=$(best_of_3 cat "$b.jhr" "$b.jdx" "$b.jlr")
        tool_us=$(best_of_3 "$TOOL" -x "$b")
        rss=$(peak_kib "$TOOL" -x "$b")
        issues=$("$TOOL" -x "$b" 2>/dev/null | issue_count || true)
        T[$name]=$tool_us R[$name]=$(ratio "$tool_us" "$cat_us") M[$name]=$rss
        printf '  %-11s %7d %7d %8s %8s %7sx %8s %8s %6s\n' "$name" "$msgs" "$users" \
            "$(secs "$cat_us")" "$(secs "$tool_us")" "${R[$name]}" \
            "$(awk -v t="$tool_us" -v n="$msgs" 'BEGIN {printf "%.2f", t / n}')" \
            "$(mib "$rss")" "$issues"
        [[ $issues == 0 ]] || { echo "  ^ the generated base should be healthy" >&2; FAILED=1; }
    done
    local per_msg extra
    per_msg=$(awk -v a="${T[500k]}" -v b="${T[10k]}" 'BEGIN {printf "%.2f", (a / 500000) / (b / 10000)}')
    extra=$(awk -v a="${T[500k-u200k]}" -v b="${T[500k]}" 'BEGIN {printf "%.3f", (a - b) / 1e6}')
    echo "targets"
    verdict "-x at 500k within 10x cat" "${R[500k]}x" "$(below "${R[500k]}" 10.0001)"
    verdict "per-message time 500k/10k within 1.3x" "${per_msg}x" "$(below "$per_msg" 1.3001)"
    verdict "peak RSS at 500k under 48 MiB" "$(mib "${M[500k]}") MiB" "$(below "${M[500k]}" $((48 * 1024)))"
    verdict "200k-user .JLR adds < 0.1 s" "$extra s" "$(below "$extra" 0.1)"
}

run_repair() {
    ensure_big_bases
    local src=$DATA/500k work=$DATA/scratch/repair cat_us tool_us rss ratio_r issues
    warm "$src/base"
    cat_us=$(best_of_3 cat "$src/base.jhr" "$src/base.jdx" "$src/base.jlr")
    tool_us=$(PREPARE="fresh_copy $src $work" best_of_3 "$TOOL" -r -x -p "$work/base")
    fresh_copy "$src" "$work"
    rss=$(peak_kib "$TOOL" -r -x -p "$work/base")
    issues=$("$TOOL" -x "$work/base" 2>/dev/null | issue_count || true)
    ratio_r=$(ratio "$tool_us" "$cat_us")
    echo
    echo "cairnfix -r -x -p on a fresh copy of the 500k base (best of 3)"
    printf '  cat %ss   tool %ss   %sx cat   peak RSS %s MiB   issues after: %s\n' \
        "$(secs "$cat_us")" "$(secs "$tool_us")" "$ratio_r" "$(mib "$rss")" "$issues"
    echo "targets"
    verdict "-r -x -p within 25x cat" "${ratio_r}x" "$(below "$ratio_r" 25.0001)"
    verdict "-r -x -p peak RSS under 48 MiB" "$(mib "$rss") MiB" "$(below "$rss" $((48 * 1024)))"
    verdict "rebuilt .JDX equals the generated one" "" "$(ok cmp -s "$src/base.jdx" "$work/base.jdx")"
    verdict "second analysis is clean" "$issues issues" "$(ok [ "$issues" = 0 ])"
    rm -rf "$work"
}

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
    t_x=$(time_us "$TOOL" -x "$work/base")
    rss=$(peak_kib "$TOOL" -x "$work/base")
    issues=$("$TOOL" -x "$work/base" 2>/dev/null | issue_count || true)
    t_p=$(time_us "$TOOL" -p "$work/base")
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
    t_x=$(time_us "$TOOL" -x "$b")
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
    t_x=$(time_us "$TOOL" -x "$b")
    report=$("$TOOL" -x "$b" 2>&1 || true)
    shown=$(section_size "$report" ".JHR File")
    printf '  .JHR of %d bytes (hole after %d): -x %ss, %s issue(s), size shown %s\n' "$size" \
        "$end" "$(secs "$t_x")" "$(issue_count <<<"$report")" "$shown"
    verdict ".JHR > 2 GiB: size and stop offset right" "" \
        "$([[ $shown == "$size" ]] &&
            ok grep -q "bad message sig 0x00000000 at offset $end\$" <<<"$report" || echo 0)"
    rm -rf "$work"
}

# The generator's own test: the same arguments give the same bytes, the base is healthy,
# and a repair run leaves its index as it was.
run_check() {
    CHECK_TMP=$(mktemp -d)
    trap 'rm -rf "$CHECK_TMP"' EXIT
    local a=$CHECK_TMP/a b=$CHECK_TMP/b same=1 f issues
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

echo "cairnfix benchmark - $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)," \
    "$(date -u '+%Y-%m-%d %H:%M') UTC, $(nproc) CPU(s), load $(cut -d" " -f1 /proc/loadavg), $BUILD"
for mode in "${MODES[@]}"; do
    "run_$mode"
done
exit "$FAILED"
