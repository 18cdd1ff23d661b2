#!/usr/bin/env bash
# Reading and writing the benchmark fax document side by side with libtiff's tiffcp, as whole
# processes: the document (100 A4 pages at 300 dpi, bench/make_fax_document) is converted by
# `tiffcp -c X` and by `tiff_roundtrip -c X` (every page read into one bitmap and written back,
# page by page, the way the program saves a document).
#
#   bench/bench_tiff_vs_libtiff.sh [BUILD_DIR] [RUNS]      (defaults: build, 5)
#
# For each case the best of RUNS runs is reported: elapsed seconds, CPU seconds (user + system)
# and peak memory; "speed-up" is tiffcp's time divided by ours (above 1: ours is faster).
set -euo pipefail
build=${1:-build}
runs=${2:-5}
mk=$build/bench/make_fax_document
rt=$build/bench/tiff_roundtrip
for tool in "$mk" "$rt"; do
  [ -x "$tool" ] || { echo "missing $tool (ninja -C $build make_fax_document tiff_roundtrip)" >&2; exit 1; }
done
command -v tiffcp >/dev/null || { echo "tiffcp not installed (scripts/bootstrap)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time not installed (scripts/bootstrap)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$mk" -n 100 -c g4 "$work/doc_g4.tif"
tiffcp -c none "$work/doc_g4.tif" "$work/doc_none.tif"
tiffcp -c g3 "$work/doc_none.tif" "$work/doc_g3.tif"
tiffcp -c lzw "$work/doc_none.tif" "$work/doc_lzw.tif"

# best RUNS CMD...: prints "elapsed cpu rss" of the fastest run (by CPU time).
best() {
  local n=$1
  shift
  local bestCpu="" line
  for _ in $(seq "$n"); do
    /usr/bin/time -f "%e %U %S %M" -o "$work/t" "$@" >/dev/null 2>&1
    read -r e u s m <"$work/t"
    local cpu
    cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
    if [ -z "$bestCpu" ] || awk -v a="$cpu" -v b="$bestCpu" 'BEGIN { exit !(a < b) }'; then
      bestCpu=$cpu
      line="$e $cpu $m"
    fi
  done
  echo "$line"
}

printf "%-28s %20s %20s %14s\n" "case (100 pages)" "tiffcp s / cpu s" "ours s / cpu s" "speed-up cpu"
run() {
  local label=$1 flag=$2 input=$3
  read -r le lc lm < <(best "$runs" tiffcp -c "$flag" "$input" "$work/lt.tif")
  read -r oe oc om < <(best "$runs" "$rt" -c "$4" "$input" "$work/ours.tif")
  local ratio
  ratio=$(awk -v a="$lc" -v b="$oc" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
  printf "%-28s %9s / %-8s %9s / %-8s %8sx   (peak memory %s KB vs %s KB)\n" "$label" "$le" "$lc" "$oe" "$oc" \
    "$ratio" "$lm" "$om"
}
run "decode G4 -> none" none "$work/doc_g4.tif" none
run "encode none -> G4" g4 "$work/doc_none.tif" g4
run "decode G3 -> none" none "$work/doc_g3.tif" none
run "encode none -> G3" g3 "$work/doc_none.tif" g3
run "decode LZW -> none" none "$work/doc_lzw.tif" none
run "encode none -> LZW" lzw "$work/doc_none.tif" lzw
