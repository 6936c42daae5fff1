#!/usr/bin/env bash
# Builds the normal and the sanitizer configuration, with warnings as errors,
# and runs every test in both. Run ./setup.sh once first on a fresh machine.
#
# JOBS sets the number of parallel build and test jobs (default: the CPUs
# this process may run on). PYTHON names the interpreter that builds and runs
# the Python tests; it needs pytest (default: Debian's /usr/bin/python3).
set -euo pipefail
cd "$(dirname "$0")"
jobs="${JOBS:-$(nproc)}"
python="${PYTHON:-/usr/bin/python3}"
summary=()
failed=0

# run_configuration NAME DIR CMAKE_ARGS...: configure, build and test DIR,
# and add one line about its tests to the summary.
run_configuration() {
  local name="$1" dir="$2"
  shift 2
  cmake -S . -B "$dir" -DTARVEL_WERROR=ON -DPython3_EXECUTABLE="$python" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  local status=0
  (cd "$dir" && ctest --output-on-failure -j"$jobs") | tee "$dir/ctest.log" || status=$?
  local line
  line="$(grep -E '^[0-9]+% tests passed' "$dir/ctest.log" | tail -n 1 || true)"
  if [ "$status" -eq 0 ]; then
    summary+=("$name ($dir): ${line:-no test result}")
  else
    failed=1
    local names
    names="$(cut -d: -f2- "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ' || true)"
    summary+=("$name ($dir): FAILED: ${line:-ctest exited with $status}; failing: ${names:-see above}")
  fi
}

run_configuration normal build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_configuration sanitizers build-asan -DCMAKE_BUILD_TYPE=Debug -DTARVEL_SANITIZE=ON

echo
for line in "${summary[@]}"; do
  echo "test.sh: $line"
done
exit "$failed"
