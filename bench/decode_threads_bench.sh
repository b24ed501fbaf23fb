#!/usr/bin/env bash
# Unpack and test with one and two threads, an old and a new qzn side by side, on large inputs:
# a text file repeated to about 180 MB and a tar of binaries likewise, each packed at the levels
# given, and a folder tree. Each run is repeated RUNS times with the two binaries alternated and
# their order swapped every round; the table gives the best elapsed time and the best user CPU
# time of each, the new/old speed-up of the elapsed times, and the load average when the row
# was measured. The same run times `zstd -3 -d` on the repeated files and `zstd -3 -d | tar -x`
# on the tree, and checks that every unpacked file and tree equals its input.
#
#   bench/decode_threads_bench.sh OLD_QZN NEW_QZN TEXT_FILE BINARY_TAR TREE
#   RUNS=7 LEVELS="c2 c6" THREADS="1 2" bench/decode_threads_bench.sh build-base/qzn build/qzn \
#       ~/corpus/text-one.txt ~/corpus/bin.tar ~/corpus/text-src
#
# Work files go to WORK (default /dev/shm/qzn-decode-bench, memory-backed, so that the disk does
# not time itself): about 1.5 GB for inputs of 180 MB. Wall times mean something only on a quiet
# machine: check the load column. On a shared machine set WAIT_IDLE=90: each run then waits
# (up to a minute) until the processors were at least that many percent idle over half a second.
set -euo pipefail

if [ $# -ne 5 ]; then
    sed -n '2,14p' "$0" >&2
    exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
text=$(realpath "$3")
binary=$(realpath "$4")
tree=$(realpath "$5")
runs=${RUNS:-5}
levels=${LEVELS:-c2 c6}
threads=${THREADS:-1 2}
target=${TARGET_MB:-180}
work=${WORK:-/dev/shm/qzn-decode-bench}
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }
have_zstd=$(command -v zstd || true)

mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# An input repeated until it reaches about `target` MB.
repeat_to_target() {
    local input=$1 output=$2 size copies
    size=$(stat -c %s "$input")
    copies=$(((target * 1000000 + size / 2) / size))
    [ "$copies" -ge 1 ] || copies=1
    : >"$output"
    for ((i = 0; i < copies; i++)); do cat "$input" >>"$output"; done
    echo "$copies"
}

# Idle and total jiffies of all processors so far.
jiffies() {
    local _ user nice system idle iowait irq softirq steal
    read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
    echo $((idle + iowait)) $((user + nice + system + idle + iowait + irq + softirq + steal))
}

wait_idle() {
    [ -n "${WAIT_IDLE:-}" ] || return 0
    local tries i1 t1 i2 t2
    for ((tries = 0; tries < 120; tries++)); do
        read -r i1 t1 < <(jiffies)
        sleep 0.5
        read -r i2 t2 < <(jiffies)
        [ $(((i2 - i1) * 100 / (t2 - t1 + 1))) -ge "$WAIT_IDLE" ] && return 0
    done
    return 0 # a minute without: measure all the same
}

# Runs a command once; prints "elapsed user" in seconds.
timed() {
    wait_idle
    /usr/bin/time -f "%e %U" -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
        echo "failed: $*" >&2
        cat "$work/stderr" >&2
        exit 1
    }
    cat "$work/time"
}

best() { # best of a column of numbers
    sort -g | head -1
}

load() { cut -d' ' -f1 /proc/loadavg; }

printf '| input | level | mode | threads | old wall s | new wall s | speed-up | old user s | new user s | load |\n'
printf '|---|---|---|---:|---:|---:|---:|---:|---:|---:|\n'

measure_pair() { # name level mode threads archive output
    local name=$1 level=$2 mode=$3 count=$4 archive=$5 output=$6
    : >"$work/old.times"
    : >"$work/new.times"
    local loads=""
    for ((r = 0; r < runs; r++)); do
        local order="old new"
        [ $((r % 2)) -eq 1 ] && order="new old"
        for which in $order; do
            local binary_path=$old
            [ "$which" = new ] && binary_path=$new
            rm -rf "$output"
            if [ "$mode" = d ]; then
                timed "$binary_path" -threads:"$count" -force-overwrite d "$archive" "$output" >>"$work/$which.times"
            else
                timed "$binary_path" -threads:"$count" t "$archive" >>"$work/$which.times"
            fi
        done
        loads="$loads $(load)"
    done
    local old_wall new_wall old_user new_user
    old_wall=$(cut -d' ' -f1 "$work/old.times" | best)
    new_wall=$(cut -d' ' -f1 "$work/new.times" | best)
    old_user=$(cut -d' ' -f2 "$work/old.times" | best)
    new_user=$(cut -d' ' -f2 "$work/new.times" | best)
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$level" "$mode" \
        "$count" "$old_wall" "$new_wall" \
        "$(awk -v a="$old_wall" -v b="$new_wall" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else printf "-" }')" "$old_user" \
        "$new_user" "$(echo "$loads" | xargs)"
}

measure_zstd() { # name compressed output [tar]
    local name=$1 compressed=$2 output=$3 tar=${4:-}
    : >"$work/zstd.times"
    local loads=""
    for ((r = 0; r < runs; r++)); do
        rm -rf "$output"
        if [ -n "$tar" ]; then
            mkdir -p "$output"
            timed sh -c "zstd -q -d -c '$compressed' | tar -x -C '$output'" >>"$work/zstd.times"
        else
            timed zstd -q -d -f -o "$output" "$compressed" >>"$work/zstd.times"
        fi
        loads="$loads $(load)"
    done
    printf '| %s | zstd -3 | %s | 1 | | %s | | | %s | %s |\n' "$name" \
        "$([ -n "$tar" ] && echo "-d \\| tar -x" || echo "-d")" \
        "$(cut -d' ' -f1 "$work/zstd.times" | best)" "$(cut -d' ' -f2 "$work/zstd.times" | best)" \
        "$(echo "$loads" | xargs)"
}

text_copies=$(repeat_to_target "$text" "$work/text")
binary_copies=$(repeat_to_target "$binary" "$work/binary")
inputs=("text" "binary")
declare -A label=([text]="$(basename "$text") x$text_copies" [binary]="$(basename "$binary") x$binary_copies")

for input in "${inputs[@]}"; do
    for level in $levels; do
        "$new" -threads:2 -force-overwrite "$level" "$work/$input.$level.qzn" "$work/$input" >/dev/null
        for mode in t d; do
            for count in $threads; do
                measure_pair "${label[$input]}" "$level" "$mode" "$count" "$work/$input.$level.qzn" "$work/out"
            done
        done
        "$new" -threads:2 -force-overwrite d "$work/$input.$level.qzn" "$work/out" >/dev/null
        cmp -s "$work/out" "$work/$input" || { echo "unpacked $input differs" >&2; exit 1; }
    done
    if [ -n "$have_zstd" ]; then
        zstd -q -3 -f -o "$work/$input.zst" "$work/$input"
        measure_zstd "${label[$input]}" "$work/$input.zst" "$work/out"
    fi
done

# The tree: every level, one and two threads; unpacked trees compared with the input.
tree_name=$(basename "$tree")
for level in $levels; do
    "$new" -threads:2 -force-overwrite "$level" "$work/tree.$level.qzn" "$tree" >/dev/null
    for count in $threads; do
        measure_pair "$tree_name" "$level" d "$count" "$work/tree.$level.qzn" "$work/out-tree"
    done
    rm -rf "$work/out-tree"
    "$new" -force-overwrite d "$work/tree.$level.qzn" "$work/out-tree" >/dev/null
    diff -r "$tree" "$work/out-tree" >/dev/null || { echo "unpacked tree differs" >&2; exit 1; }
done
if [ -n "$have_zstd" ]; then
    tar -cf "$work/tree.tar" -C "$(dirname "$tree")" "$tree_name"
    zstd -q -3 -f -o "$work/tree.tar.zst" "$work/tree.tar"
    rm -f "$work/tree.tar"
    measure_zstd "$tree_name (tar)" "$work/tree.tar.zst" "$work/out-tree" tar
fi
