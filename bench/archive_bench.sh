#!/usr/bin/env bash
# Packs and unpacks one file or folder with qzn at every level (c1..c6), each with -threads:1 and
# with the default (all cores) side by side, and with gzip, zstd and
# xz on the same input in the same run, and prints one table row per method: archive size,
# ratio, pack and unpack speed and peak memory. Every qzn round trip is checked.
#
#   bench/archive_bench.sh INPUT [extra qzn flags...]
#   QZN=/path/to/qzn bench/archive_bench.sh ~/.cache/qzn-corpus/audio.wav -filter:channels:4
#   LEVELS="1 6" bench/archive_bench.sh INPUT      (only these levels)
#
# Speeds are input MB (2^20 bytes) per wall-clock second. Peak memory is the largest resident
# set of the measured process, from GNU time; n/a without it. Folders reach the stream
# compressors as a tar stream made beforehand, so neither the tar time nor its memory is counted.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 INPUT [extra qzn flags...]" >&2
    exit 2
fi
input=$(realpath "$1")
shift
flags=("$@")
[ -e "$input" ] || { echo "no such input: $input" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QZN:-}" ]; then
    for candidate in "$here/../build/qzn" "$here/../build-main/qzn"; do
        [ -x "$candidate" ] && QZN=$(realpath "$candidate") && break
    done
fi
[ -n "${QZN:-}" ] && [ -x "$QZN" ] || { echo "qzn binary not found; set QZN=" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qzn-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Peak memory: GNU time writes the maximum resident set size in KB to a file.
if [ -x /usr/bin/time ]; then
    timer=(/usr/bin/time -v -o "$work/mem")
    peak_of() { awk -F': ' '/Maximum resident set size/ {print $2}' "$work/mem"; }
elif command time -f %M true >/dev/null 2>&1; then
    timer=(command time -f %M -o "$work/mem")
    peak_of() { tail -n 1 "$work/mem"; }
else
    timer=()
    peak_of() { echo; }
fi

now_ns() { date +%s%N; }

# Runs "$@" under the timer with stdin/stdout as given by the caller; sets seconds and peak_mb.
measure() {
    local start end kb
    : >"$work/mem"
    status=0
    start=$(now_ns)
    "${timer[@]}" "$@" || status=$?
    end=$(now_ns)
    seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    kb=$(peak_of)
    if [[ "$kb" =~ ^[0-9]+$ ]]; then
        peak_mb=$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')
    else
        peak_mb=n/a
    fi
}

if [ -d "$input" ]; then
    input_bytes=$(find "$input" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    file_count=$(find "$input" -type f | wc -l)
else
    input_bytes=$(stat -c %s "$input")
    file_count=1
fi

# The stream compressors get the file itself, or a tar stream of the folder.
stream_input() {
    if [ -d "$input" ]; then
        tar -C "$(dirname "$input")" -cf - "$(basename "$input")"
    else
        cat "$input"
    fi
}

mbps() { awk -v b="$input_bytes" -v s="$1" 'BEGIN { printf "%.2f", (s > 0 ? b / 1048576 / s : 0) }'; }
ratio() { awk -v a="$1" -v b="$input_bytes" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }

echo "input: $input ($input_bytes bytes, $file_count files)"
echo "qzn: $QZN ${flags[*]:-}"
echo
# "test MB/s" is qzn's decode with CRC checks but no files written: the figure to set beside the
# stream compressors' decompression for a folder, where unpacking also creates every file.
printf '| %-22s | %12s | %6s | %9s | %11s | %9s | %13s | %15s |\n' method "archive B" ratio \
    "pack MB/s" "unpack MB/s" "test MB/s" "pack peak MB" "unpack peak MB"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..24})" "$(printf -- '-%.0s' {1..14})" \
    "$(printf -- '-%.0s' {1..8})" "$(printf -- '-%.0s' {1..11})" "$(printf -- '-%.0s' {1..13})" \
    "$(printf -- '-%.0s' {1..11})" "$(printf -- '-%.0s' {1..15})" "$(printf -- '-%.0s' {1..17})"

row() { # name archive-bytes pack-seconds unpack-seconds pack-peak unpack-peak [test-seconds]
    local test_mbps="-"
    [ -n "${7:-}" ] && test_mbps=$(mbps "$7")
    printf '| %-22s | %12s | %6s | %9s | %11s | %9s | %13s | %15s |\n' "$1" "$2" "$(ratio "$2")" \
        "$(mbps "$3")" "$(mbps "$4")" "$test_mbps" "$5" "$6"
}

cores=$(nproc 2>/dev/null || echo "?")
for level in ${LEVELS:-1 2 3 4 5 6}; do
  for threads in -threads:1 ""; do
    archive="$work/a.qzn"
    out="$work/out"
    rm -rf "$archive" "$out"
    # The same -threads value for pack, unpack and test; none means the default, all cores.
    tflag=(${threads:+"$threads"})
    measure "$QZN" "${flags[@]}" "${tflag[@]}" "c$level" "$archive" "$input" >"$work/pack.log" </dev/null
    pack_s=$seconds pack_mb=$peak_mb
    measure "$QZN" "${tflag[@]}" d "$archive" "$out" >"$work/unpack.log" </dev/null
    unpack_s=$seconds unpack_mb=$peak_mb
    measure "$QZN" "${tflag[@]}" t "$archive" >"$work/test.log" </dev/null
    test_s=$seconds
    if [ -n "$threads" ]; then name="qzn c$level 1 thread"; else name="qzn c$level $cores threads"; fi
    [ "$status" = 0 ] || name="$name FAILED"
    if [ -d "$input" ]; then diff -r "$input" "$out" >/dev/null || name="$name MISMATCH"
    else cmp -s "$input" "$out" || name="$name MISMATCH"; fi
    row "$name" "$(stat -c %s "$archive")" "$pack_s" "$unpack_s" "$pack_mb" "$unpack_mb" "$test_s"
  done
done
rm -rf "$work/out" "$work/a.qzn"

peer() { # name compress-command... ; decompression is "<tool> -d"
    local name=$1 tool=$2
    shift
    local packed="$work/peer"
    stream_input >"$work/stream"
    measure "$@" <"$work/stream" >"$packed"
    local pack_s=$seconds pack_mb=$peak_mb
    measure "$tool" -d -c <"$packed" >"$work/restored"
    local unpack_s=$seconds unpack_mb=$peak_mb
    cmp -s "$work/stream" "$work/restored" || name="$name MISMATCH"
    row "$name" "$(stat -c %s "$packed")" "$pack_s" "$unpack_s" "$pack_mb" "$unpack_mb"
    rm -f "$work/stream" "$packed" "$work/restored"
}

tar_prefix=""
[ -d "$input" ] && tar_prefix="tar | "
command -v gzip >/dev/null && peer "${tar_prefix}gzip -6" gzip -6 -c
if command -v zstd >/dev/null; then
    peer "${tar_prefix}zstd -3 -T1" zstd -q -3 -T1 -c
    peer "${tar_prefix}zstd -19 -T1" zstd -q -19 -T1 -c
fi
command -v xz >/dev/null && peer "${tar_prefix}xz -6 -T1" xz -6 -T1 -c
exit 0
