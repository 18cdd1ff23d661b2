#!/usr/bin/env bash
# The page-editing options of vellumo-cli convert: exact turns, mirrors, negative and crop agree
# pixel for pixel with ImageMagick on a part of a real fax page (1 bit, odd width), a gray and a
# colour picture; options run in command-line order; format changes of --bw, --blur and --gray;
# bad values are usage errors.
# Usage: convert_proc.sh PATH/TO/vellumo-cli
set -uo pipefail
cli=$1
corpus=${VELLUMO_CORPUS:-../shared/corpus}
png=$corpus/reference-suites/pngsuite/png
fax=$corpus/libtiff/test-images/testfax4.tiff
if [ ! -d "$png" ] || [ ! -f "$fax" ]; then
  echo "public corpus not present: skipped"
  exit 0
fi
if ! command -v convert >/dev/null || ! command -v compare >/dev/null; then
  echo "ImageMagick not installed: skipped"
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
cd "$tmp" || exit 1
# A 1-bit region of a G4 fax page (ImageMagick writes it as a 1-bit PNG), a gray and a colour picture.
convert "$fax[0]" -crop 517x403+700+900 +repage -type bilevel -depth 1 fax.png
cp "$png/basn0g08.png" gray.png
cp "$png/basn2c08.png" colour.png
check "fixture: fax region is 1-bit" "1" "$("$cli" info fax.png | tail -1 | cut -f5)"

# ---- pixel-exact against ImageMagick ----
same() {  # same NAME OURS THEIRS: number of differing pixels
  local n
  n=$(compare -metric AE "$2" "$3" null: 2>&1)
  check "$1" "0" "$n"
}
for page in fax gray colour; do
  while IFS='|' read -r ours theirs; do
    # shellcheck disable=SC2086
    if ! "$cli" convert $ours "$page.png" out.ppm 2>err; then
      check "$page $ours: exit status" 0 "failed: $(cat err)"
      continue
    fi
    # shellcheck disable=SC2086
    convert "$page.png" $theirs ref.png
    same "$page $ours" out.ppm ref.png
  done <<'EOF'
--rotate 90|-rotate 270
--rotate=-90|-rotate 90
--rotate 270|-rotate 90
--rotate 180|-rotate 180
--flip h|-flop
--flip v|-flip
--negative|-negate
--crop 3,5,17,11|-crop 17x11+3+5 +repage
--flip h --rotate 90|-flop -rotate 270
EOF
done
# The 1-bit page stays 1-bit through turns and mirrors.
"$cli" convert --rotate 90 --flip v --negative fax.png kept.ppm
check "1-bit page stays 1-bit" "P4" "$(head -c 2 kept.ppm)"
check "turned size" "403 517" "$(identify -format '%w %h' kept.ppm)"

# A quarter turn exchanges the horizontal and vertical resolution, also of a square page.
convert gray.png -units PixelsPerInch -density 200x100 dpi.png
"$cli" convert --rotate 270 dpi.png dpi-turned.png
check "quarter turn: resolution" "100 200" "$("$cli" info dpi-turned.png | tail -1 | cut -f8,9 | tr '\t' ' ')"
"$cli" convert --rotate 180 dpi.png dpi-half.png
check "half turn: resolution" "200 100" "$("$cli" info dpi-half.png | tail -1 | cut -f8,9 | tr '\t' ' ')"

# ---- operations that change the format ----
"$cli" convert --bw colour.png bw.ppm
check "--bw gives a bilevel page" "P4" "$(head -c 2 bw.ppm)"
"$cli" convert --blur 2 fax.png blur.ppm
check "--blur of a 1-bit page gives gray" "P5" "$(head -c 2 blur.ppm)"
"$cli" convert --gray colour.png gray-out.ppm
check "--gray keeps 24 bits" "P6" "$(head -c 2 gray-out.ppm)"
check "--gray: every pixel gray" "0" "$(convert gray-out.ppm -colorspace HSL -channel G -separate -format '%[fx:maxima]' info:)"
"$cli" convert --gray fax.png gray-fax.ppm
same "--gray leaves a 1-bit page" gray-fax.ppm fax.png
for opt in --autocontrast --whiten --sharpen --trim "--rotate 3.5" "--blur 3"; do
  # shellcheck disable=SC2086
  "$cli" convert $opt colour.png any.ppm 2>err
  check "$opt: exit status" "0" "$?"
done

# ---- bad values are usage errors ----
for opt in "--rotate abc" "--rotate=" "--flip x" "--blur two" "--crop 1,2,0,4" "--crop 1,2,3" "--crop a,b,c,d"; do
  # shellcheck disable=SC2086
  "$cli" convert $opt colour.png bad.ppm 2>err
  check "$opt: exit status" "2" "$?"
  check "$opt: no output" "" "$(ls bad* 2>/dev/null)"
done

exit $fail
