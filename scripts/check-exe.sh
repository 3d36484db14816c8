#!/usr/bin/env bash
# Checks what ships: a 32-bit GUI program with its icon, no larger than
# 24 KiB, importing only system DLLs, with ASLR and DEP on, and the same
# bytes from a second build of the same tree. Prints the figures.
set -euo pipefail
exe=${1:?usage: check-exe.sh vokxp.exe}
cd "$(dirname "$0")/.."
fail=0
bad() { echo "FAIL: $*"; fail=1; }

headers=$(i686-w64-mingw32-objdump -p "$exe")
size=$(stat -c %s "$exe")
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
echo "size: $size bytes"
echo "imports: $imports"

[ "$size" -le $((24 * 1024)) ] || bad "larger than 24 KiB"
for dll in $imports; do
  case "$dll" in KERNEL32.DLL|USER32.DLL|ADVAPI32.DLL|MSVCRT.DLL) ;; *) bad "imports $dll" ;; esac
done
grep -q 'file format pei-i386' <<<"$headers" || bad "not a 32-bit image"
grep -q 'Subsystem.*Windows GUI' <<<"$headers" || bad "not the GUI subsystem"
grep -q 'DYNAMIC_BASE' <<<"$headers" || bad "ASLR is off"
grep -q 'NX_COMPAT' <<<"$headers" || bad "DEP is off"
i686-w64-mingw32-objdump -h "$exe" | grep -q '\.reloc' || bad "no relocations, so no ASLR"
# The icon: a group icon resource named MAINICON.
python3 - "$exe" <<'PY' || bad "no MAINICON icon resource"
import struct, sys
data = open(sys.argv[1], "rb").read()
sys.exit(0 if "MAINICON".encode("utf-16-le") in data else 1)
PY

# The same tree builds to the same bytes.
again=$(mktemp -d)
cmake -S . -B "$again" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DVOKXP_PLATFORM=win32 >/dev/null
cmake --build "$again" --target vokxp >/dev/null
cmp -s "$exe" "$again/vokxp.exe" || bad "a second build differs"
rm -rf "$again"
echo "reproducible: $([ $fail = 0 ] && echo yes || echo see above)"
exit $fail
