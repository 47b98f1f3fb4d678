#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the debug build with
# warnings as errors, then the AddressSanitizer/UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
for preset in default asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset"
done
