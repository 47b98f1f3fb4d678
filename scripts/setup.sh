#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine.
set -euo pipefail
packages=(build-essential cmake ninja-build pkgconf libgtest-dev libgmock-dev
          libbenchmark-dev libinih-dev libpng-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
