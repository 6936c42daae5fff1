#!/usr/bin/env bash
# Installs the package offline the two ways README.md gives, and runs the
# examples with each installed module from outside the source tree:
#  - built by pip into a virtual environment of Debian's python3, whose
#    system site packages supply setuptools and wheel;
#  - as the abi3 wheel built once by Debian's python3, installed into a
#    virtual environment of another CPython 3.9 or newer (by default the
#    first python3 on PATH, which may have no setuptools or wheel at all).
# PYTHON names the building interpreter, OTHER_PYTHON the other one.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
python="${PYTHON:-/usr/bin/python3}"
other="${OTHER_PYTHON:-$(command -v python3)}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
unset PYTHONPATH

# run_examples VENV: both examples, with the module VENV installed.
run_examples() {
  local venv="$1"
  (cd "$tmp" && "$venv/bin/python" - "$venv" <<'PY'
import importlib.metadata
import sys
import tarvel_binary
import tarvel_binary._native as native
assert importlib.metadata.version("tarvel-binary") == native.__version__
assert native.__file__.startswith(sys.argv[1]), native.__file__
assert native.__file__.endswith("_native.abi3.so"), native.__file__
package = tarvel_binary.__path__[0]
for name in ("_native.pyi", "__init__.pyi", "py.typed"):
    open(f"{package}/{name}").close()
print(sys.version.split()[0], "installed:", native.__file__)
PY
  )
  (cd "$tmp" && "$venv/bin/python" "$root/examples/write_and_read.py" >/dev/null)
  (cd "$tmp" && "$venv/bin/python" "$root/examples/read_records.py")
}

cd "$root"
"$python" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/pip" install --quiet --no-index --no-build-isolation .
run_examples "$tmp/venv"

"$python" -m pip wheel --quiet --no-index --no-build-isolation --no-deps --wheel-dir "$tmp/dist" .
"$other" -m venv "$tmp/venv-other"
"$tmp/venv-other/bin/pip" install --quiet --no-index "$tmp"/dist/tarvel_binary-*-cp39-abi3-*.whl
run_examples "$tmp/venv-other"
