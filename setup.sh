#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything and runs the example.
#
# JOBS sets the number of parallel build jobs (default: the CPUs this process
# may run on). The module is built with Debian's /usr/bin/python3, the
# interpreter that has the packages below; PYTHON names another one.
set -euo pipefail
cd "$(dirname "$0")"
jobs="${JOBS:-$(nproc)}"
python="${PYTHON:-/usr/bin/python3}"

packages=(
  build-essential cmake pkg-config
  libzstd-dev libgtest-dev libgmock-dev libbenchmark-dev libxxhash-dev
  python3 python3-dev python3-pytest python3-venv python3-setuptools python3-pip python3-wheel
  python3-zstandard
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build build -j"$jobs"

PYTHON="$python" bash examples/run.sh
