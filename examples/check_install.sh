#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment, offline,
# and runs the example with the installed module from outside the source tree.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-/usr/bin/python3}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

"$python" -m venv --system-site-packages "$tmp/venv"
(cd "$root" && "$tmp/venv/bin/pip" install --quiet --no-index --no-build-isolation .)

cd "$tmp"
unset PYTHONPATH
"$tmp/venv/bin/python" - "$tmp/venv" <<'PY'
import sys
import tarvel_binary._native as native
assert native.__file__.startswith(sys.argv[1]), native.__file__
assert native.__file__.endswith("_native.abi3.so"), native.__file__
print("installed:", native.__file__)
PY
"$tmp/venv/bin/python" "$root/examples/write_and_read.py"
