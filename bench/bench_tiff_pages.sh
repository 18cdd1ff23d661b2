#!/usr/bin/env bash
# Side by side: vellumo-cli count / split against libtiff's tiffinfo / tiffsplit on the same
# files, whole-process wall-clock times (best of several runs, bash `time`).
#
# Data: one multi-page CCITT G4 document joined with tiffcp from the fax pages of the public
# corpus (testfax4, fax4, big_g4, pport_g4, the G4 orientation set, g4-multi, hopper_g4: 16 pages), copied
# FILES times (default 200) into a temporary folder.
#
# Usage: bench_tiff_pages.sh [VELLUMO_CLI] [FILES] [RUNS]   (the corpus from $VELLUMO_CORPUS)
# The build runs it as build/bench/bench_tiff_pages (make bench).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-$here/../cli/vellumo-cli}
files=${2:-200}
runs=${3:-5}
corpus=${VELLUMO_CORPUS:-$here/../../shared/corpus}
for tool in tiffcp tiffinfo tiffsplit; do
  command -v $tool >/dev/null || { echo "bench_tiff_pages: $tool not installed (libtiff-tools); skipped"; exit 0; }
done
[ -x "$cli" ] || { echo "bench_tiff_pages: $cli not built"; exit 1; }
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
[ -d "$corpus/pillow" ] || { echo "bench_tiff_pages: public corpus not found; skipped"; exit 0; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sources=()
for f in libtiff/test-images/testfax4.tiff libtiff/image-tiff-tests/fax4.tiff libtiff/image-tiff-tests/big_g4.tif \
         pillow/pport_g4.tif pillow/g4-multi.tiff pillow/g4_orientation_{1,2,3,4,5,6,7,8}.tif pillow/hopper_g4.tif; do
  sources+=("$corpus/$f")
done
tiffcp -c g4 "${sources[@]}" "$tmp/doc.tif" 2>/dev/null
pages=$("$cli" count "$tmp/doc.tif" | head -1 | cut -f2)
mkdir -p "$tmp/in"
for i in $(seq -w 1 "$files"); do cp "$tmp/doc.tif" "$tmp/in/doc$i.tif"; done
echo "data: $files copies of a $pages-page G4 file ($(stat -c %s "$tmp/doc.tif") bytes each)"

# best RUNS wall-clock seconds of a command line (run through bash -c)
best() {
  local b=999999 t
  for _ in $(seq "$runs"); do
    rm -rf "$tmp/out" && mkdir -p "$tmp/out"
    t=$( { TIMEFORMAT=%R; time bash -c "$1" >/dev/null 2>&1; } 2>&1 )
    b=$(awk -v a="$b" -v c="$t" 'BEGIN { print (c < a) ? c : a }')
  done
  echo "$b"
}
row() {  # name ours theirs
  awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%-50s %8.3f s %8.3f s   x%.2f\n", n, a, b, (a > 0 ? b / a : 0) }'
}
cd "$tmp"
printf "%-50s %10s %10s   %s\n" "" "vellumo" "libtiff" "speed-up"
a=$(best "'$cli' count in/*.tif")
b=$(best "tiffinfo in/*.tif")
row "count, one process (count / tiffinfo)" "$a" "$b"
a=$(best "for f in in/*.tif; do '$cli' count \$f; done")
b=$(best "for f in in/*.tif; do tiffinfo \$f; done")
row "count, one process per file" "$a" "$b"
a=$(best "'$cli' split -o out in/*.tif")
b=$(best "for f in in/*.tif; do n=\${f##*/}; tiffsplit \$f out/\${n%.tif}_; done")
row "split, vellumo one process / tiffsplit per file" "$a" "$b"
a=$(best "for f in in/*.tif; do '$cli' split -o out \$f; done")
row "split, one process per file" "$a" "$b"
first=$(ls in | head -1)
tiffsplit "in/$first" out/x_
echo "($(ls out | grep -vc '^x_') page files per vellumo split run; tiffsplit made $(ls out/x_* | wc -l) of the first file)"
