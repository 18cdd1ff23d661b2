#!/usr/bin/env bash
# vellumo-cli count and split, on the public corpus: output format, exit status, names of the
# split pages, refusal to overwrite without --force, and every split page of every multi-page
# corpus file checked with libtiff's tools (tiffinfo -D reports no error; tiffcmp, or ImageMagick
# where libtiff cannot decode the page, finds the pixels equal to the source page).
# Usage: count_split.sh PATH/TO/vellumo-cli
set -uo pipefail
cli=$1
corpus=${VELLUMO_CORPUS:-../shared/corpus}
fixtures=${VELLUMO_FIXTURES:-tests/fixtures}
if [ ! -f "$corpus/tiff-inventory.tsv" ]; then
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

# ---- count ----
g4=$corpus/pillow/g4-multi.tiff
loop=$corpus/libtiff/test-images/test_ifd_loop_to_first.tif
out=$("$cli" count "$g4" "$loop" 2>"$tmp/err"); rc=$?
check "count: lines" "$(printf '%s\t3\n%s\t2\ntotal\t5' "$g4" "$loop")" "$out"
check "count: exit status" 0 "$rc"
check "count: stderr" "" "$(cat "$tmp/err")"

out=$("$cli" count "$g4" "$corpus/pillow/hopper.jpg" "$tmp/missing.tif" 2>"$tmp/err"); rc=$?
check "count with a JPEG and a missing file: lines" \
  "$(printf '%s\t3\n%s\t0\ntotal\t3' "$g4" "$corpus/pillow/hopper.jpg")" "$out"
check "count with a JPEG and a missing file: exit status" 1 "$rc"
grep -q "hopper.jpg: not a TIFF file" "$tmp/err" || { echo "FAIL count: no message for the JPEG"; fail=1; }
grep -q "missing.tif" "$tmp/err" || { echo "FAIL count: no message for the missing file"; fail=1; }

"$cli" count >/dev/null 2>&1; check "count without files: exit status" 2 $?

# ---- split: names, skipping, --force, -o ----
mkdir -p "$tmp/a" "$tmp/out"
cp "$g4" "$tmp/a/Invoice.TIF"
out=$("$cli" split "$tmp/a/Invoice.TIF" 2>"$tmp/err"); rc=$?
check "split: report" "$(printf 'wrote %s\nwrote %s\nwrote %s' "$tmp/a/Invoice_0001.tif" "$tmp/a/Invoice_0002.tif" \
  "$tmp/a/Invoice_0003.tif")" "$out"
check "split: exit status" 0 "$rc"
check "split: files" "Invoice.TIF Invoice_0001.tif Invoice_0002.tif Invoice_0003.tif" "$(cd "$tmp/a" && echo *)"
check "split: pages of a split file" "$(printf '%s\t1\ntotal\t1' "$tmp/a/Invoice_0002.tif")" \
  "$("$cli" count "$tmp/a/Invoice_0002.tif")"

echo "keep me" >"$tmp/a/Invoice_0002.tif"
out=$("$cli" split "$tmp/a/Invoice.TIF" 2>"$tmp/err"); rc=$?
check "split again: exit status" 1 "$rc"
check "split again: nothing written" "" "$out"
check "split again: skipped files reported" 3 "$(grep -c '^vellumo-cli: skipped .*: file exists' "$tmp/err")"
check "split again: existing file kept" "keep me" "$(cat "$tmp/a/Invoice_0002.tif")"
out=$("$cli" split --force "$tmp/a/Invoice.TIF" 2>"$tmp/err"); rc=$?
check "split --force: exit status" 0 "$rc"
check "split --force: files written" 3 "$(grep -c '^wrote ' <<<"$out")"
check "split --force: replaced file" "$(printf '%s\t1\ntotal\t1' "$tmp/a/Invoice_0002.tif")" \
  "$("$cli" count "$tmp/a/Invoice_0002.tif")"

out=$("$cli" split -o "$tmp/out" "$tmp/a/Invoice.TIF" "$corpus/pillow/hopper.jpg" 2>"$tmp/err"); rc=$?
check "split -o: exit status with a JPEG" 1 "$rc"
check "split -o: files" "Invoice_0001.tif Invoice_0002.tif Invoice_0003.tif" "$(cd "$tmp/out" && echo *)"
grep -q "hopper.jpg: not a TIFF file" "$tmp/err" || { echo "FAIL split: no message for the JPEG"; fail=1; }
"$cli" split -o "$tmp/nowhere" "$g4" >/dev/null 2>&1; check "split -o missing folder: exit status" 2 $?
"$cli" split >/dev/null 2>&1; check "split without files: exit status" 2 $?

# ---- every page of every multi-page corpus file, checked by libtiff ----
for tool in tiffinfo tiffcp tiffcmp; do
  if ! command -v $tool >/dev/null; then
    echo "$tool not installed: page checks skipped"
    [ $fail -eq 0 ] && echo "count_split: ok"
    exit $fail
  fi
done
have_convert=0
command -v convert >/dev/null && have_convert=1
pages=0
while IFS=$'\t' read -r path n; do
  [ "$path" = path ] && continue
  [ "$n" -gt 1 ] || continue
  d=$tmp/pages/$(tr / _ <<<"$path")
  mkdir -p "$d"
  cp "$corpus/$path" "$d/src.tif"
  "$cli" split "$d/src.tif" >/dev/null 2>"$tmp/err" || { echo "FAIL split $path: $(cat "$tmp/err")"; fail=1; continue; }
  outs=("$d"/src_*.tif)
  check "split $path: page files" "$n" "${#outs[@]}"
  src_errors=$(tiffinfo -D "$d/src.tif" 2>&1 >/dev/null | grep -ci error)
  for o in "${outs[@]}"; do
    if [ "$src_errors" -eq 0 ] && tiffinfo -D "$o" 2>&1 >/dev/null | grep -qi error; then
      echo "FAIL tiffinfo -D $path $(basename "$o"): $(tiffinfo -D "$o" 2>&1 >/dev/null | grep -i error | head -1)"
      fail=1
    fi
    pages=$((pages + 1))
  done
  # Pixels: the split pages joined again compare equal to the source, page by page.
  if tiffcp -c none "$d/src.tif" "$d/ref.tif" 2>/dev/null && tiffcp -c none "${outs[@]}" "$d/joined.tif" 2>/dev/null; then
    tiffcmp "$d/src.tif" "$d/joined.tif" >"$tmp/cmp" 2>&1 || { echo "FAIL tiffcmp $path: $(head -3 "$tmp/cmp")"; fail=1; }
  elif [ $have_convert -eq 1 ]; then
    for o in "${outs[@]}"; do
      b=$(basename "$o" .tif); i=$((10#${b#src_} - 1))
      a=$(convert "$d/src.tif[$i]" -depth 16 rgba:- 2>/dev/null | md5sum)
      c=$(convert "$o[0]" -depth 16 rgba:- 2>/dev/null | md5sum)
      check "pixels of $path page $((i + 1)) (ImageMagick)" "$a" "$c"
    done
  fi
done <"$fixtures/tiff/page-counts.tsv"
[ "$pages" -ge 40 ] || { echo "FAIL only $pages split pages checked"; fail=1; }

[ $fail -eq 0 ] && echo "count_split: ok ($pages split pages checked)"
exit $fail
