#!/usr/bin/env bash
# Every test: host unit tests of vokxp and vok (sanitizers), vok against
# FFmpeg-made files damaged in each way, bounded fuzz runs of the tokenizer
# and the RealMedia parser, both Windows builds with their size and import
# checks, the 32-bit vok.exe on files past 2 GiB, and the end-to-end tests
# under Wine against the 64-bit and the real 32-bit vokxp.exe, each with the
# vok.exe of its build. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== Host unit tests"
cmake --preset host >/dev/null
cmake --build --preset host
ctest --preset host

echo "== vok against FFmpeg's own files, damaged in each way"
python3 vok/tests/integration/test_repair.py --vok build/host/vok/vok_asan --index
python3 vok/tests/integration/large_file.py --vok build/host/vok/vok_asan
echo "== vok on real producers' files, clean and damaged, as FFmpeg, MPlayer and GStreamer play them"
python3 vok/tests/integration/real_damage.py --vok build/host/vok/vok_asan --check

echo "== Tokenizer fuzz run"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp tests/fuzz/seeds/* "$corpus"/
build/fuzz/tokenizer_fuzz -max_total_time="${VOKXP_FUZZ_SECONDS:-60}" -seed=1 "$corpus" 2>&1 | tail -n 2

echo "== RealMedia parser fuzz run"
# Its seeds: the kept corpus, the real producers' layouts as the unit tests
# build them, and the head of every file of a real producer (the longest
# input the target takes), read where those files are kept.
rm -rf "$corpus"/* && cp vok/tests/fuzz/seeds/* "$corpus"/
build/host/vok/vok_fuzz_seeds "$corpus"
for f in "${VOK_REALDATA:-../shared/realdata}"/*.rm; do
  [ -f "$f" ] && head -c 40000 "$f" > "$corpus/real-$(basename "$f")"
done
build/fuzz/vok/vok_parser_fuzz -max_total_time="${VOKXP_FUZZ_SECONDS:-60}" -max_len=40000 -seed=1 "$corpus" 2>&1 | tail -n 2

echo "== Windows builds"
bash scripts/build.sh
bash scripts/check-exe.sh build/windows/vokxp.exe
bash scripts/check-vok-exe.sh build/windows/vok/vok.exe

echo "== The zip users download: the same bytes from a second run"
zip=$(bash scripts/package.sh | tail -n 1)
first=$(sha256sum <"$zip")
rm "$zip" && bash scripts/package.sh >/dev/null
[ "$(sha256sum <"$zip")" = "$first" ] || { echo "FAIL: a second package.sh run made a different zip"; exit 1; }

echo "== The shipped 32-bit vok.exe on files past 2 GiB and 4 GiB, under Wine"
python3 vok/tests/integration/large_file.py --vok build/windows/vok/vok.exe --wine

echo "== Wine end-to-end, 64-bit build"
python3 tests/wine/e2e.py --exe build/win64/vokxp.exe --vok build/win64/vok/vok.exe \
  --helpers build/win64/tests/wine/helpers
echo "== Wine end-to-end, the shipped 32-bit vokxp.exe and vok.exe"
python3 tests/wine/e2e.py --exe build/windows/vokxp.exe --vok build/windows/vok/vok.exe \
  --helpers build/win64/tests/wine/helpers
