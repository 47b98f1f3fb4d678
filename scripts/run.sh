#!/usr/bin/env bash
# Sets up, builds, and runs the main job against the built-in virtual
# scanner: a host program finds and opens the scanner through the library's
# exports; the scanner's transfer trace is printed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default
cmake --build --preset default -j 2 --target LF_v2270 abi_c_host
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
LF_V2270_SIMULATOR=1 LF_V2270_ROOT="$work/root" LF_V2270_SIM_TRACE="$work/trace.txt" \
  LF_V2270_DEBUG=1 build/default/tests/abi/abi_c_host 1
echo "scanner found and opened; transfers it saw:"
cat "$work/trace.txt"
