#!/usr/bin/env bash
# Where qzn stands among the general-purpose compressors installed here: packs and unpacks each
# named file or folder with qzn at every level and with gzip, zstd, xz, brotli and lz4 at several
# levels each (those present), checks every round trip, and writes
#   OUT/results.tsv           one line per input and method (machine-readable)
#   OUT/results.md            the same as Markdown tables, one per input
#   OUT/<input>.svg           the chart: ratio against pack speed and against unpack speed
#   OUT/all.svg               the charts of all inputs in one image, one row each
#                             (FORMAT=png for a PNG instead)
#
#   bench/peers_bench.sh [-o OUT] [-r RUNS] INPUT...
#   QZN=/path/to/qzn RUNS=5 bench/peers_bench.sh -o /tmp/peers text.txt program.tar
#   bench/peers_bench.sh -o /tmp/peers -p      redraws the charts of OUT/results.tsv only
#
# Every method runs on one core (qzn -threads:1, zstd -T1, xz -T1; the others have one thread),
# so the speeds compare the codecs, not the core count. A speed is input MiB per second of CPU
# time (user + system) of the process, the best of RUNS runs: on a shared machine the least
# disturbed run is the one that says most about the codec. Set CLOCK=wall to use elapsed
# time instead. The ratio is archive bytes / input bytes, as qzn prints it: lower is better.
# Folders reach the stream compressors as a tar file made beforehand (not timed); qzn packs the
# folder itself. Levels are set with QZN_LEVELS, GZIP_LEVELS, ZSTD_LEVELS, XZ_LEVELS,
# BROTLI_LEVELS and LZ4_LEVELS (space-separated; empty skips the tool); QZN_FLAGS adds qzn flags.
set -euo pipefail

out=peers-bench
runs=${RUNS:-3}
replot=""
while getopts "o:r:p" option; do
    case $option in
    o) out=$OPTARG ;;
    r) runs=$OPTARG ;;
    p) replot=1 ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -lt 1 ] && [ -z "$replot" ]; then
    echo "usage: $0 [-o OUT] [-r RUNS] INPUT... | $0 [-o OUT] -p" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QZN:-}" ]; then
    for candidate in "$here/../build/qzn" "$here/../build-main/qzn"; do
        if [ -x "$candidate" ]; then
            QZN=$(realpath "$candidate")
            break
        fi
    done
fi
if [ -z "$replot" ]; then
    if [ -z "${QZN:-}" ] || [ ! -x "$QZN" ]; then
        echo "qzn binary not found; set QZN=" >&2
        exit 2
    fi
    [ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }
fi
command -v gnuplot >/dev/null || echo "gnuplot not found: tables only, no charts" >&2

# The slowest levels (xz -9, brotli -11) are left out by default: on inputs of tens of MB each
# would take minutes. zstd runs at every level from 1 to 19, so that a claim against it holds for
# each of them, not only for the levels drawn.
qzn_levels=${QZN_LEVELS-1 2 3 4 5 6}
gzip_levels=${GZIP_LEVELS-1 6 9}
zstd_levels=${ZSTD_LEVELS-$(seq -s " " 1 19)}
xz_levels=${XZ_LEVELS-1 6}
brotli_levels=${BROTLI_LEVELS-1 5 9}
lz4_levels=${LZ4_LEVELS-1 9}
read -r -a qzn_flags <<<"${QZN_FLAGS:-}"

mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/qzn-peers.XXXXXX")
trap 'rm -rf "$work"' EXIT

# CPU seconds (user + system) of this shell's finished children in a snapshot written by `times`,
# whose millisecond figures are finer than GNU time's hundredths.
children_cpu() {
    awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/)
        printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$1"
}

# Runs "$@" RUNS times with stdout to $sink; sets `seconds` (the best CPU or wall time) and
# `peak_kb` (largest resident set). The first run goes through GNU time for the memory figure;
# the others run bare, so that with RUNS >= 2 the best time carries no measuring overhead.
# Nothing but the command runs between the two snapshots of `times` and of the clock.
sink=/dev/null
measure() {
    local run start end t
    seconds=""
    for ((run = 0; run < runs; ++run)); do
        if [ "$run" = 0 ]; then
            times >"$work/before"
            start=$EPOCHREALTIME
            /usr/bin/time -f "%M" -o "$work/time" "$@" >"$sink" </dev/null
            end=$EPOCHREALTIME
            times >"$work/after"
            peak_kb=$(tail -n 1 "$work/time")
        else
            times >"$work/before"
            start=$EPOCHREALTIME
            "$@" >"$sink" </dev/null
            end=$EPOCHREALTIME
            times >"$work/after"
        fi
        if [ "${CLOCK:-cpu}" = wall ]; then
            t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
        else
            t=$(awk -v a="$(children_cpu "$work/before")" -v b="$(children_cpu "$work/after")" \
                'BEGIN { printf "%.3f", b - a }')
        fi
        if [ -z "$seconds" ] || awk -v a="$t" -v b="$seconds" 'BEGIN { exit !(a < b) }'; then
            seconds=$t
        fi
    done
}

tsv="$out/results.tsv"
[ -n "$replot" ] || printf 'input\tbytes\ttool\tlevel\tarchive_bytes\tratio\tpack_mib_s\tunpack_mib_s\tpack_peak_mib\tunpack_peak_mib\n' >"$tsv"

# Appends one result line; speeds from the best times, guarding against a zero reading.
record() { # tool level archive-bytes pack-seconds unpack-seconds pack-kb unpack-kb
    awk -v name="$name" -v n="$bytes" -v tool="$1" -v level="$2" -v a="$3" -v ps="$4" -v us="$5" \
        -v pk="$6" -v uk="$7" 'BEGIN {
            mib = n / 1048576; if (ps < 0.001) ps = 0.001; if (us < 0.001) us = 0.001
            printf "%s\t%d\t%s\t%s\t%d\t%.4f\t%.2f\t%.2f\t%.1f\t%.1f\n", name, n, tool, level, a,
                a / n, mib / ps, mib / us, pk / 1024, uk / 1024 }' >>"$tsv"
}

peer() { # tool level pack-command... (decompression is "<tool> -d -c")
    local tool=$1 level=$2
    shift 2
    command -v "$tool" >/dev/null || return 0
    sink=$work/packed measure "$@" "$stream"
    local pack_s=$seconds pack_kb=$peak_kb
    sink=$work/restored measure "$tool" -d -c "$work/packed"
    cmp -s "$stream" "$work/restored" || { echo "$tool $level: round trip differs" >&2; exit 1; }
    record "$tool" "$level" "$(stat -c %s "$work/packed")" "$pack_s" "$seconds" "$pack_kb" "$peak_kb"
    rm -f "$work/packed" "$work/restored"
}

for input in "$@"; do
    [ -z "$replot" ] || break
    input=$(realpath "$input")
    [ -e "$input" ] || { echo "no such input: $input" >&2; exit 2; }
    name=$(basename "$input")
    if [ -d "$input" ]; then
        tar -C "$(dirname "$input")" -cf "$work/stream" "$name"
        stream=$work/stream
    else
        stream=$input
    fi
    bytes=$(stat -c %s "$stream")
    [ -d "$input" ] && bytes=$(find "$input" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    echo "$name: $bytes bytes" >&2

    for level in $qzn_levels; do
        archive=$work/a.qzn restored=$work/restored
        rm -rf "$archive" "$restored"
        measure "$QZN" "${qzn_flags[@]}" -threads:1 -force-overwrite "c$level" "$archive" "$input"
        pack_s=$seconds pack_kb=$peak_kb
        measure "$QZN" -threads:1 -force-overwrite d "$archive" "$restored"
        if [ -d "$input" ]; then
            diff -r "$input" "$restored" >/dev/null || { echo "qzn c$level: round trip differs" >&2; exit 1; }
        else
            cmp -s "$input" "$restored" || { echo "qzn c$level: round trip differs" >&2; exit 1; }
        fi
        record qzn "$level" "$(stat -c %s "$archive")" "$pack_s" "$seconds" "$pack_kb" "$peak_kb"
        rm -rf "$archive" "$restored"
    done

    for level in $gzip_levels; do peer gzip "$level" gzip "-$level" -c; done
    for level in $zstd_levels; do peer zstd "$level" zstd -q "-$level" -T1 -c; done
    for level in $xz_levels; do peer xz "$level" xz "-$level" -T1 -c; done
    for level in $brotli_levels; do peer brotli "$level" brotli -q "$level" -c; done
    for level in $lz4_levels; do peer lz4 "$level" lz4 -q "-$level" -c; done
    rm -f "$work/stream"
done

# One Markdown table per input, rows in the order measured.
[ -n "$replot" ] || {
    echo "Single core, best of $runs runs, speeds in MiB/s of ${CLOCK:-cpu} time; ratio = archive / input."
    awk -F'\t' 'NR > 1 {
        if ($1 != current) {
            current = $1
            printf "\n**%s** (%d bytes)\n\n", $1, $2
            print "| method | archive bytes | ratio | pack MiB/s | unpack MiB/s | pack peak MiB | unpack peak MiB |"
            print "|---|---:|---:|---:|---:|---:|---:|"
        }
        method = $3 " " ($3 == "qzn" ? "c" : "-") $4
        printf "| %s | %d | %.3f | %.1f | %.1f | %.1f | %.1f |\n", method, $5, $6, $7, $8, $9, $10
    }' "$tsv"
} >"$out/results.md"
[ -n "$replot" ] || cat "$out/results.md"

command -v gnuplot >/dev/null || exit 0
format=${FORMAT:-svg}
inputs=$(awk -F'\t' 'NR > 1 { print $1 }' "$tsv" | uniq)
# One series per tool and input, its levels in order: pack speed, unpack speed, ratio, label.
n=0
for name in $inputs; do
    n=$((n + 1))
    for tool in $(awk -F'\t' -v n="$name" 'NR > 1 && $1 == n { print $3 }' "$tsv" | uniq); do
        awk -F'\t' -v n="$name" -v t="$tool" 'NR > 1 && $1 == n && $3 == t {
            print $7, $8, $6, (t == "qzn" ? "c" : "") $4 }' "$tsv" >"$work/$n.$tool.dat"
    done
done

# The gnuplot commands of one panel: input number, speed column (1 pack, 2 unpack), title. One
# series per tool, its levels labelled; qzn drawn heavier. The pack panel joins the levels in
# order (they trade speed for ratio); unpack speed follows no such order, so there the points
# stand alone. Speeds on a log scale.
panel() {
    local plots="" file tool style with=linespoints
    [ "$2" = 2 ] && with=points
    for file in "$work/$1".*.dat; do
        tool=${file#"$work/$1".}
        tool=${tool%.dat}
        case $tool in
        qzn) style="lw 3 pt 7 ps 1.3 lc rgb '#c0392b'" ;;
        gzip) style="lw 1.5 pt 7 ps 0.8 lc rgb '#7f8c8d'" ;;
        zstd) style="lw 1.5 pt 7 ps 0.8 lc rgb '#2471a3'" ;;
        xz) style="lw 1.5 pt 7 ps 0.8 lc rgb '#229954'" ;;
        brotli) style="lw 1.5 pt 7 ps 0.8 lc rgb '#7d3c98'" ;;
        *) style="lw 1.5 pt 7 ps 0.8 lc rgb '#d68910'" ;;
        esac
        plots+="'$file' using $2:3 with $with $style title '$tool', "
        plots+="'' using $2:3:4 with labels offset 0.6,0.6 font ',8' notitle, "
    done
    echo "set title '$3'; plot ${plots%, }"
}

# chart OUTPUT ROWS TITLE: the rows' panels, pack speed left and unpack speed right.
chart() {
    local output=$1 rows=$2 title=$3 count
    count=$(wc -w <<<"$rows")
    local height=$((60 + 420 * count))
    local terminal="set terminal svg size 1100,$height dynamic font 'sans,11'"
    [ "$format" = png ] && terminal="set terminal pngcairo size 1400,$((height * 5 / 4)) font 'sans,11'"
    {
        echo "$terminal"
        echo "set output '$output'"
        echo "set multiplot layout $count,2 title '$title'"
        echo "set logscale x; set xlabel 'MiB/s'; set ylabel 'ratio'; set grid; set key top left; set offsets 0, 0, 0.02, 0.02"
        for row in $rows; do
            local name
            name=$(sed -n "${row}p" <<<"$inputs")
            panel "$row" 1 "$name: pack"
            panel "$row" 2 "$name: unpack"
        done
        echo "unset multiplot"
    } | gnuplot
    echo "chart: $output" >&2
}

subtitle="ratio (archive / input, lower is better) against single-core speed"
row=0
for name in $inputs; do
    row=$((row + 1))
    chart "$out/$name.$format" "$row" "$name: $subtitle"
done
[ "$n" -gt 1 ] && chart "$out/all.$format" "$(seq -s ' ' 1 "$n")" "$subtitle"
exit 0
