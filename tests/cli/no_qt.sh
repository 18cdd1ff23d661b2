#!/usr/bin/env bash
# vellumo-cli runs on the core alone: no Qt library may be linked into it.
set -euo pipefail
cli=$1
if ldd "$cli" | grep -i 'libQt'; then
  echo "vellumo-cli links Qt" >&2
  exit 1
fi
