#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything and runs the example.
set -euo pipefail
cd "$(dirname "$0")"

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

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

if [ -x examples/run.sh ]; then
  bash examples/run.sh
else
  echo "library built: build/libtarvel_container.a"
fi
