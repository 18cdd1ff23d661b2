#!/usr/bin/env bash
# vellumo-cli info and convert on single-image files of the public corpus: the info lines,
# per-page output names, --pages, PDF output, and failures that name the file, exit non-zero
# and leave no output behind.
# Usage: info_convert.sh PATH/TO/vellumo-cli
set -uo pipefail
cli=$1
corpus=${VELLUMO_CORPUS:-../shared/corpus}
png=$corpus/reference-suites/pngsuite/png
if [ ! -d "$png" ]; then
  echo "public corpus not present: skipped"
  exit 0
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    fail=1
  fi
}
cp "$png/basn2c08.png" "$tmp/colour.png"
cp "$png/basn0g01.png" "$tmp/bilevel.png"
cd "$tmp" || exit 1

# ---- info ----
out=$("$cli" info colour.png bilevel.png 2>err); rc=$?
check "info: exit status" 0 "$rc"
check "info: lines" "$(printf 'file\tpage\twidth\theight\tbitsPerSample\tsamplesPerPixel\tfileType\tdpiX\tdpiY\ttiffCompression\ttiffPhotometric\ncolour.png\t1\t32\t32\t8\t3\t8\t0\t0\t\t\nbilevel.png\t1\t32\t32\t1\t1\t8\t0\t0\t\t')" "$out"
out=$("$cli" info colour.png missing.png 2>err); rc=$?
check "info with a missing file: exit status" 1 "$rc"
check "info with a missing file: lines" 2 "$(echo "$out" | wc -l)"
check "info with a missing file: message" 1 "$(grep -c 'missing.png' err)"

# ---- convert to one file per page ----
"$cli" convert colour.png bilevel.png page.ppm 2>err; rc=$?
check "convert to ppm: exit status" 0 "$rc"
check "convert to ppm: files" "page_0001.ppm page_0002.ppm" "$(ls page_*.ppm | tr '\n' ' ' | sed 's/ $//')"
check "convert to ppm: first is colour" "P6" "$(head -c 2 page_0001.ppm)"
check "convert to ppm: second is bilevel" "P4" "$(head -c 2 page_0002.ppm)"
"$cli" convert --pages 2,1 colour.png bilevel.png order.png 2>err; rc=$?
check "convert --pages 2,1: exit status" 0 "$rc"
check "convert --pages 2,1: order" "1 8" "$("$cli" info order_0001.png | tail -1 | cut -f5,7 | tr '\t' ' ')"
"$cli" convert --pages=2 colour.png bilevel.png single.png; rc=$?
check "convert one page: exit status" 0 "$rc"
check "convert one page: the output itself" "single.png" "$(ls single*.png | tr '\n' ' ' | sed 's/ $//')"

# ---- PDF ----
"$cli" convert colour.png colour.png doc.pdf 2>err; rc=$?
check "convert to pdf: exit status" 0 "$rc"
check "convert to pdf: header" "%PDF-" "$(head -c 5 doc.pdf)"
if command -v pdfinfo >/dev/null; then
  check "convert to pdf: pages" "2" "$(pdfinfo doc.pdf | awk '/^Pages:/ {print $2}')"
fi

# ---- failures ----
before=$(ls | sort | tr '\n' ' ')
"$cli" convert colour.png missing.png fail.pdf 2>err; rc=$?
check "missing input: exit status" 1 "$rc"
check "missing input: one line naming it" "1 1" "$(wc -l <err | tr -d ' ') $(grep -c 'missing.png' err)"
head -c 100 colour.png >broken.png
"$cli" convert colour.png broken.png fail.ppm 2>err; rc=$?
check "broken input: exit status" 1 "$rc"
check "broken input: message" 1 "$(grep -c 'broken.png' err)"
"$cli" convert colour.png nosuchdir/out.ppm 2>err; rc=$?
check "output folder missing: exit status" 1 "$rc"
check "output folder missing: message" 1 "$(grep -c 'nosuchdir/out.ppm' err)"
after=$(ls | grep -v broken.png | sort | tr '\n' ' ')
check "failures leave nothing behind" "$before" "$after"
"$cli" convert --pages 3 colour.png bilevel.png x.png 2>/dev/null; check "page out of range" 2 $?
"$cli" convert --pages 1-x colour.png x.png 2>/dev/null; check "bad page list" 2 $?
"$cli" convert --compression zip colour.png x.tif 2>/dev/null; check "unknown compression" 2 $?
"$cli" convert --quality 0 colour.png x.tif 2>/dev/null; check "bad quality" 2 $?
"$cli" convert --bogus colour.png x.png 2>/dev/null; check "unknown option" 2 $?
"$cli" convert colour.png 2>/dev/null; check "no output" 2 $?
"$cli" convert colour.png out.xyz 2>/dev/null; check "no writer" 2 $?

exit $fail
