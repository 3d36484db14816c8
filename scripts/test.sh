#!/usr/bin/env bash
# Every test: host unit tests (sanitizers, simulated platform), a bounded fuzz
# run of the tokenizer, both Windows builds with their size and import checks,
# and the end-to-end tests under Wine against the 64-bit and the real 32-bit
# vokxp.exe. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== Host unit tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

echo "== Tokenizer fuzz run"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp tests/fuzz/seeds/* "$corpus"/
build/fuzz/tokenizer_fuzz -max_total_time="${VOKXP_FUZZ_SECONDS:-60}" -seed=1 "$corpus" 2>&1 | tail -n 2

echo "== RealMedia parser fuzz run"
rm -rf "$corpus"/* && cp vok/tests/fuzz/seeds/* "$corpus"/
build/fuzz/vok/vok_parser_fuzz -max_total_time="${VOKXP_FUZZ_SECONDS:-60}" -max_len=40000 -seed=1 "$corpus" 2>&1 | tail -n 2

echo "== Windows builds"
bash scripts/build.sh
bash scripts/check-exe.sh build/windows/vokxp.exe

echo "== Wine end-to-end, 64-bit build"
python3 tests/wine/e2e.py --exe build/win64/vokxp.exe --helpers build/win64/tests/wine/helpers
echo "== Wine end-to-end, the shipped 32-bit vokxp.exe"
python3 tests/wine/e2e.py --exe build/windows/vokxp.exe --helpers build/win64/tests/wine/helpers
