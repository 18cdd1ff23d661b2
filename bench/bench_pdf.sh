#!/usr/bin/env bash
# Side-by-side benchmark of PDF output: a 500-page text-like G4 document (2480 x 3508, 300 dpi)
# to PDF with tiff2pdf (libtiff-tools), img2pdf and Vellumo; wall time, peak memory (GNU time),
# output size and qpdf --check for each.
#
#   bench/bench_pdf.sh [build-dir] [pages]
#
# The input TIFF is made from the ten pages of bench_pdf_writer --write-pbm, coded G4 by
# ppm2tiff and joined by tiffcp. Vellumo rows:
#   "vellumo TIFF to PDF"   bench_pdf_writer --input: every page read and G4-decoded by our TIFF
#                           reader, G4-coded again and written (the whole road of a conversion);
#   "vellumo-cli convert"   the same through the command-line tool, when it writes PDF;
#   "vellumo writer only"   bench_pdf_writer: the same pages from memory, G4 coded, PDF written.
# tiff2pdf and img2pdf copy the G4 strips into the PDF without decoding them.
set -euo pipefail
build=${1:-build}
pages=${2:-500}
bench="$build/bench/bench_pdf_writer"
cli="$build/cli/vellumo-cli"
[ -x "$bench" ] || { echo "bench_pdf_writer not built in $build" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time missing (scripts/bootstrap installs it)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vl-bench-pdf.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$bench" --write-pbm "$work"
for i in 0 1 2 3 4 5 6 7 8 9; do
  ppm2tiff -c g4 -R 300 "$work/page-$i.pbm" "$work/page-$i.tif"
  rm "$work/page-$i.pbm"
done
inputs=()
for ((i = 0; i < pages; ++i)); do inputs+=("$work/page-$((i % 10)).tif"); done
tiffcp "${inputs[@]}" "$work/input.tif"
rm "$work"/page-*.tif
echo "input: $pages pages, $(($(stat -c %s "$work/input.tif") / 1024)) KiB G4 TIFF"
printf '%-24s %10s %14s %12s  %s\n' "program" "wall s" "peak RSS MiB" "output MiB" "qpdf --check"

run() {
  local name=$1 out=$2
  shift 2
  if ! /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/log.txt" 2>&1; then
    printf '%-24s failed: %s\n' "$name" "$(tail -1 "$work/log.txt")"
    return
  fi
  local wall rss size check
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + t[i]; printf "%.2f", s }' "$work/time.txt")
  rss=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$work/time.txt")
  size=$(awk -v b="$(stat -c %s "$out")" 'BEGIN { printf "%.1f", b / 1048576 }')
  if qpdf --check "$out" >/dev/null 2>&1; then check=ok; else check="errors ($?)"; fi
  printf '%-24s %10s %14s %12s  %s\n' "$name" "$wall" "$rss" "$size" "$check"
  rm -f "$out"
}

run "tiff2pdf" "$work/tiff2pdf.pdf" tiff2pdf -o "$work/tiff2pdf.pdf" "$work/input.tif"
if command -v img2pdf >/dev/null; then
  run "img2pdf" "$work/img2pdf.pdf" img2pdf -o "$work/img2pdf.pdf" "$work/input.tif"
fi
run "vellumo TIFF to PDF" "$work/road.pdf" "$bench" --input "$work/input.tif" --compression 2 "$work/road.pdf"
if [ -x "$cli" ] && "$cli" convert --help 2>&1 | grep -qi pdf; then
  run "vellumo-cli convert" "$work/vellumo.pdf" "$cli" convert "$work/input.tif" "$work/vellumo.pdf"
else
  echo "vellumo-cli convert to PDF: not available in this build"
fi
run "vellumo writer only" "$work/writer.pdf" "$bench" --pages "$pages" --compression 2 "$work/writer.pdf"
