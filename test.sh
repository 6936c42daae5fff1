#!/usr/bin/env bash
# Builds the normal and the sanitizer configuration and runs every test in
# both. Run ./setup.sh once first on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")"
jobs="$(nproc)"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")
