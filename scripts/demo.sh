#!/usr/bin/env bash
# The main job: builds vokxp.exe and shows it working in a throwaway Wine
# prefix (install, a right-click reaching the repair tool, the real vok.exe
# repairing a damaged file through it, a drop, removal).
# Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh >/dev/null
bash scripts/check-exe.sh build/windows/vokxp.exe
bash scripts/check-vok-exe.sh build/windows/vok/vok.exe
zip=$(bash scripts/package.sh | tail -n 1)
python3 scripts/demo.py --zip "$zip" --helpers build/win64/tests/wine/helpers
