#!/usr/bin/env bash
# Opening large documents into the page store: a 500-page 300 dpi bilevel CCITT G4 document
# (US letter, 2550 x 3300) and a 50-page 24-bit JPEG-compressed document (A4 at 300 dpi,
# 2480 x 3508). Reports the time of each phase (from bench_load_document) and the peak memory of
# the whole process (/usr/bin/time -v). The memory must stay bounded by the image cache (10
# pages) and the thumbnail cache, whatever the page count: the 500-page run is also repeated at
# 100 pages to show that the peak does not grow with the pages.
#
# The documents are made once with ImageMagick and libtiff's tiffcp in $VELLUMO_BENCH_DATA
# (default: a folder in /tmp) and kept for later runs.
# Usage: bench_load_document.sh [BENCH_LOAD_DOCUMENT]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prog=${1:-$here/../build/bench/bench_load_document}
data=${VELLUMO_BENCH_DATA:-/tmp/vellumo-bench-data}
for tool in convert tiffcp /usr/bin/time; do
  command -v $tool >/dev/null || { echo "bench_load_document: $tool not installed; skipped"; exit 0; }
done
[ -x "$prog" ] || { echo "bench_load_document: $prog not built"; exit 1; }
mkdir -p "$data"

make_doc() {  # make_doc NAME PAGES PAGEFILE
  local out=$data/$1 pages=$2 page=$3
  [ -f "$out" ] && return
  local args=()
  for ((i = 0; i < pages; i++)); do args+=("$page"); done
  tiffcp "${args[@]}" "$out.part" && mv "$out.part" "$out"
}

if [ ! -f "$data/g4-page.tif" ]; then
  # A page of text-like lines: rows of short black bars on white.
  convert -size 2550x3300 xc:white -fill black \
    -draw "$(for y in $(seq 300 60 3000); do for x in $(seq 300 240 2100); do echo "rectangle $x,$y $((x + 180)),$((y + 24)) "; done; done)" \
    -monochrome -density 300 -units PixelsPerInch -compress Group4 "$data/g4-page.tif"
fi
if [ ! -f "$data/jpeg-page.tif" ]; then
  convert -size 2480x3508 -seed 7 plasma:white-steelblue -density 300 -units PixelsPerInch \
    -compress JPEG -quality 80 "$data/jpeg-page.tif"
fi
make_doc g4-500.tif 500 "$data/g4-page.tif"
make_doc g4-100.tif 100 "$data/g4-page.tif"
make_doc jpeg-50.tif 50 "$data/jpeg-page.tif"

run() {  # run FILE [ARGS]
  local log
  log=$(mktemp)
  echo "== $(basename "$1") ($(du -h "$1" | cut -f1)) ${2:-}"
  /usr/bin/time -v "$prog" "$@" 2>"$log" | sed 's/^/   /'
  grep -E 'Elapsed \(wall clock\)|Maximum resident set size' "$log" | sed 's/^\t*/   /'
  rm -f "$log"
}
run "$data/g4-100.tif"
run "$data/g4-500.tif"
run "$data/g4-500.tif" --all-thumbnails
run "$data/jpeg-50.tif"
