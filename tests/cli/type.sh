#!/usr/bin/env bash
# vellumo-cli type: one line per file, exit 1 with a message for a file that cannot be read.
set -euo pipefail
cli=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'P5\n2 2\n255\n\0\0\0\0' > "$dir/a.pgm"
printf 'GIF89a\1\0\1\0\0\0\0;' > "$dir/b.tif"
out=$("$cli" type "$dir/a.pgm" "$dir/b.tif")
[ "$out" = "$dir/a.pgm	12	Portable Pixmap, GrayMap, BitMap
$dir/b.tif	0	unknown" ] || { echo "unexpected: $out" >&2; exit 1; }
set +e
err=$("$cli" type "$dir/a.pgm" "$dir/missing.png" 2>&1 >/dev/null)
rc=$?
set -e
[ $rc -eq 1 ] || { echo "exit $rc" >&2; exit 1; }
case "$err" in *"$dir/missing.png"*) ;; *) echo "message does not name the file: $err" >&2; exit 1 ;; esac
