#!/usr/bin/env bash
# Many-files benchmark: how pack, test and unpack scale with the number of files rather than
# with their bytes. Prints one line per figure:
#   1. 200,000 files of 25-175 bytes: qzn c1 pack, test and unpack beside
#      `tar -cf - . | gzip -1` and `tar -xzf` on the same tree, and the pack's peak memory per
#      file (above that of packing one file of the same total size).
#   2. Duplicate search, files mostly empty or identical: N and 4N files, and the time ratio.
#   3. Test mode, one file per folder: N and 4N folders, and the time ratio.
#   4. A tree shaped like a Python site-packages folder: pack against its own -skip-crc pack.
#
#   bench/many_files_bench.sh                 # all sections
#   QZN=/path/to/qzn FILES=50000 bench/many_files_bench.sh small dup test site
#
# Every qzn run is checked for status 0. Times are wall-clock seconds of one run each; run the
# script twice and compare figures of the same run only (the machine is shared).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QZN:-}" ]; then
    for candidate in "$here/../build/qzn" "$here/../build-main/qzn"; do
        [ -x "$candidate" ] && QZN=$(realpath "$candidate") && break
    done
fi
[ -n "${QZN:-}" ] && [ -x "$QZN" ] || { echo "qzn binary not found; set QZN=" >&2; exit 2; }

FILES=${FILES:-200000}     # section 1
DUP_FILES=${DUP_FILES:-2000} # section 2: N (4N is run too)
TEST_DIRS=${TEST_DIRS:-10000} # section 3: N (4N is run too)
SITE_FILES=${SITE_FILES:-38000} # section 4
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(small dup test site)

work=$(mktemp -d "${TMPDIR:-/tmp}/qzn-many.XXXXXX")
trap 'rm -rf "$work"' EXIT

now_ns() { date +%s%N; }
# Runs "$@" in the current folder, output discarded; sets `seconds` and `peak_kb`.
measure() {
    local start end status=0
    start=$(now_ns)
    /usr/bin/time -f %M -o "$work/mem" "$@" >/dev/null 2>"$work/err" || status=$?
    end=$(now_ns)
    if [ $status -ne 0 ]; then
        echo "FAILED ($status): $*" >&2
        cat "$work/err" >&2
        exit 1
    fi
    seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    peak_kb=$(tail -n 1 "$work/mem")
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# gen_tree DIR COUNT PER_DIR MIN MAX EMPTY_EVERY DUP_EVERY: COUNT files, PER_DIR per folder,
# sizes MIN..MAX of text-like bytes; every EMPTY_EVERY-th file empty and every DUP_EVERY-th a
# copy of one fixed text (0 = none).
gen_tree() {
    perl -e '
        my ($dir, $count, $per, $min, $max, $empty, $dup) = @ARGV;
        srand(12345);
        my @words = qw(def class import return self None True for in if else while with as);
        my $same = "# shared\n" x 7;
        mkdir $dir;
        for my $i (0 .. $count - 1) {
            my $sub = sprintf("%s/d%05d", $dir, int($i / $per));
            mkdir $sub unless $i % $per;
            my $text;
            if ($empty && $i % $empty == 0) { $text = ""; }
            elsif ($dup && $i % $dup == 1) { $text = $same; }
            else {
                # Long-tailed above 1,000 bytes: most files small, a few large.
                my $r = rand();
                $r = $r * $r * $r if $max > 1000;
                my $n = $min + int($r * ($max - $min + 1));
                $text = "";
                $text .= $words[int(rand(@words))] . ($i % 7 ? " " : "\n") while length($text) < $n;
                $text = substr($text, 0, $n);
            }
            open(my $f, ">", sprintf("%s/f%06d.py", $sub, $i)) or die;
            print $f $text;
            close $f;
        }' "$@"
}

for section in "${sections[@]}"; do
    case $section in
    small)
        gen_tree "$work/small" "$FILES" 100 25 175 0 0
        echo "== $FILES files of 25-175 bytes, 100 per folder"
        cd "$work/small"
        measure "$QZN" -force-overwrite c1 "$work/small.qzn" .
        pack=$seconds pack_kb=$peak_kb
        measure "$QZN" t "$work/small.qzn"
        test=$seconds
        rm -rf "$work/out"
        measure "$QZN" -force-overwrite d "$work/small.qzn" "$work/out"
        unpack=$seconds
        cd "$work/small"
        measure sh -c "tar -cf - . | gzip -1 > '$work/small.tgz'"
        tarpack=$seconds
        rm -rf "$work/tarout" && mkdir "$work/tarout" && cd "$work/tarout"
        measure tar -xzf "$work/small.tgz"
        tarunpack=$seconds
        cd "$work"
        diff -r "$work/small" "$work/out" >/dev/null || { echo "unpacked tree differs" >&2; exit 1; }
        rm -rf "$work/out" "$work/tarout"
        printf 'pack   qzn c1 %8.3f s   tar|gzip -1 %8.3f s   ratio %s\n' "$pack" "$tarpack" "$(ratio "$pack" "$tarpack")"
        printf 'test   qzn t  %8.3f s   tar -xzf    %8.3f s   ratio %s\n' "$test" "$tarunpack" "$(ratio "$test" "$tarunpack")"
        printf 'unpack qzn d  %8.3f s   tar -xzf    %8.3f s   ratio %s\n' "$unpack" "$tarunpack" "$(ratio "$unpack" "$tarunpack")"
        # Bookkeeping per file: the peak above that of packing one file of the same total size
        # (same window, same encoder).
        bytes=$(find "$work/small" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
        head -c "$bytes" /dev/urandom >"$work/one.bin"
        measure "$QZN" -force-overwrite c1 "$work/one.qzn" "$work/one.bin"
        printf 'pack peak memory %d KB; one file of the same %d bytes %d KB: %.0f bytes per file\n' \
            "$pack_kb" "$bytes" "$peak_kb" "$(awk -v k="$pack_kb" -v b="$peak_kb" -v n="$FILES" 'BEGIN { print (k - b) * 1024 / n }')"
        rm -f "$work/one.bin" "$work/one.qzn"
        rm -rf "$work/small" "$work/small.qzn" "$work/small.tgz"
        ;;
    dup)
        echo "== duplicate search: files mostly empty or identical"
        for n in "$DUP_FILES" $((DUP_FILES * 4)); do
            gen_tree "$work/dup$n" "$n" 500 25 175 2 4
            cd "$work/dup$n"
            measure "$QZN" -force-overwrite c1 "$work/dup.qzn" .
            eval "dup_$n=$seconds"
            printf 'pack %6d files %8.3f s\n' "$n" "$seconds"
            cd "$work" && rm -rf "$work/dup$n" "$work/dup.qzn"
        done
        eval "a=\$dup_$DUP_FILES b=\$dup_$((DUP_FILES * 4))"
        echo "4x files: time x$(ratio "$b" "$a") (target at most x6)"
        ;;
    test)
        echo "== test mode: one file per folder"
        for n in "$TEST_DIRS" $((TEST_DIRS * 4)); do
            gen_tree "$work/tst$n" "$n" 1 25 175 0 0
            cd "$work/tst$n"
            measure "$QZN" -force-overwrite c1 "$work/tst.qzn" .
            measure "$QZN" t "$work/tst.qzn"
            eval "tst_$n=$seconds"
            printf 'test %6d folders %8.3f s\n' "$n" "$seconds"
            cd "$work" && rm -rf "$work/tst$n" "$work/tst.qzn"
        done
        eval "a=\$tst_$TEST_DIRS b=\$tst_$((TEST_DIRS * 4))"
        echo "4x folders: time x$(ratio "$b" "$a") (target at most x6)"
        ;;
    site)
        # Python packages: ~6% empty files (__init__.py), some repeated boiler-plate, sizes
        # from a few bytes to tens of KB, ~15 files per folder.
        echo "== site-packages-like tree: $SITE_FILES files"
        gen_tree "$work/site" "$SITE_FILES" 15 5 30000 16 40
        cd "$work/site"
        measure "$QZN" -force-overwrite c1 "$work/site.qzn" .
        with=$seconds
        measure "$QZN" -force-overwrite -skip-crc c1 "$work/site.qzn" .
        without=$seconds
        cd "$work"
        printf 'pack c1 %8.3f s   -skip-crc %8.3f s   ratio %s (target at most 1.5)\n' "$with" "$without" "$(ratio "$with" "$without")"
        rm -rf "$work/site" "$work/site.qzn"
        ;;
    *) echo "unknown section $section" >&2; exit 2 ;;
    esac
done
