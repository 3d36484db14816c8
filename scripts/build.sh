#!/usr/bin/env bash
# Builds vokxp.exe (32-bit, what ships) and the 64-bit build with the Wine
# test helpers. Assumes scripts/install-deps.sh has run.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in windows win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
