#!/usr/bin/env bash
# Side by side: page operations of Vellumo (bench/bench_proc.cpp) and ImageMagick's convert on
# the same A4 pages at 300 dpi (2480 x 3508), bilevel and 24-bit: quarter turn, rotation by 3.5
# degrees, Floyd-Steinberg to black and white, Gaussian blur.
#
#   bench/bench_proc_vs_magick.sh [build-dir] [runs]
#
# Both sides are single-threaded (MAGICK_THREAD_LIMIT=1) and timed in CPU seconds (user +
# system), which stay meaningful on a shared machine where wall time does not. ImageMagick reads
# the pages from its own memory-mapped cache format (.mpc), and the cost of reading alone
# (`convert page.mpc null:`) is subtracted; the best of `runs` (default 3) counts. Vellumo's
# figure is bench_proc's CPU time per operation on an in-memory page.
set -euo pipefail
build=${1:-build}
runs=${2:-3}
bench="$build/bench/bench_proc"
[ -x "$bench" ] || { echo "bench_proc not built in $build" >&2; exit 1; }
command -v convert >/dev/null || { echo "ImageMagick's convert is missing (scripts/bootstrap installs it)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time missing (scripts/bootstrap installs it)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vl-bench-proc.XXXXXX")
trap 'rm -rf "$work"' EXIT
export MAGICK_THREAD_LIMIT=1

"$bench" --write-pnm "$work"
convert "$work/page-bw.pbm" "$work/bw.mpc"
convert "$work/page-rgb.ppm" "$work/rgb.mpc"

# Vellumo: CPU milliseconds per operation, by benchmark name.
VELLUMO_BENCH_PAGES="$work" "$bench" --benchmark_format=csv --benchmark_min_time=0.5 2>/dev/null >"$work/ours.csv"
ours() { awk -F, -v n="\"$1\"" '$1 == n { printf "%.1f", $4 }' "$work/ours.csv"; }

# ImageMagick: the best CPU milliseconds of `runs` runs of convert with the given arguments.
cpu_ms() {
  local best=""
  for ((i = 0; i < runs; ++i)); do
    /usr/bin/time -f "%U %S" -o "$work/t" convert "$@" null: 2>/dev/null
    local ms
    ms=$(awk '{ printf "%.1f", ($1 + $2) * 1000 }' "$work/t")
    if [ -z "$best" ] || awk -v a="$ms" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$ms; fi
  done
  echo "$best"
}
base_bw=$(cpu_ms "$work/bw.mpc")
base_rgb=$(cpu_ms "$work/rgb.mpc")

printf '%-34s %-34s %12s %12s %8s\n' "operation" "ImageMagick" "Vellumo ms" "Magick ms" "ratio"
row() {
  local label=$1 name=$2 page=$3
  shift 3
  local base=$base_rgb
  [ "$page" = bw ] && base=$base_bw
  local theirs mine
  theirs=$(awk -v a="$(cpu_ms "$work/$page.mpc" "$@")" -v b="$base" 'BEGIN { v = a - b; if (v < 0) v = 0; printf "%.1f", v }')
  mine=$(ours "$name")
  printf '%-34s %-34s %12s %12s %8s\n' "$label" "$*" "$mine" "$theirs" \
    "$(awk -v a="$theirs" -v b="$mine" 'BEGIN { if (b > 0) printf "%.1fx", a / b; else print "-" }')"
}
row "quarter turn, bilevel" "BM_QuarterTurn/bilevel:1" bw -rotate 270
row "quarter turn, 24-bit" "BM_QuarterTurn/bilevel:0" rgb -rotate 270
row "rotate 3.5 degrees, bilevel" "BM_Rotate3_5/bilevel:1" bw -background white -rotate -3.5
row "rotate 3.5 degrees, 24-bit" "BM_Rotate3_5/bilevel:0" rgb -background white -rotate -3.5
row "Floyd-Steinberg, 24-bit" "BM_FloydSteinberg/bilevel:0" rgb -dither FloydSteinberg -monochrome
row "blur radius 4, bilevel" "BM_Blur/bilevel:1/radius:4" bw -blur 0x4
row "blur radius 4, 24-bit" "BM_Blur/bilevel:0/radius:4" rgb -blur 0x4
row "blur radius 20, 24-bit" "BM_Blur/bilevel:0/radius:20" rgb -blur 0x20
echo "(ratio = ImageMagick CPU time / Vellumo CPU time; above 1 means Vellumo is faster)"
