#!/usr/bin/env bash
# Runs the example against the module in a build tree (default: build/).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
module="$build/python/tarvel_binary"
if ! ls "$module"/_native*.so >/dev/null 2>&1; then
  echo "no module in $module: build first (cmake -S . -B build && cmake --build build)" >&2
  exit 1
fi
PYTHONPATH="$build/python" exec "${PYTHON:-python3}" "$root/examples/write_and_read.py"
