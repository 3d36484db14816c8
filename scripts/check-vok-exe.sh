#!/usr/bin/env bash
# Checks the vok.exe that ships: 32-bit console program, system DLLs only,
# ASLR and DEP on, and no ANSI call of its own (file names and text go
# through the UTF-16 calls; the GCC and C runtimes' start-up keeps a few
# with fixed ASCII arguments, listed as allowed). Prints the figures.
set -euo pipefail
exe=${1:?usage: check-vok-exe.sh vok.exe}
fail=0
bad() { echo "FAIL: $*"; fail=1; }
headers=$(i686-w64-mingw32-objdump -p "$exe")
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
calls=$(awk '/^\s+[0-9a-f]+\s+[0-9]+\s+[A-Za-z_]/ {print $3}' <<<"$headers" | sort -u)
echo "size: $(stat -c %s "$exe") bytes"
echo "imports: $imports"
for dll in $imports; do
  case "$dll" in KERNEL32.DLL|MSVCRT.DLL) ;; *) bad "imports $dll" ;; esac
done
grep -q 'file format pei-i386' <<<"$headers" || bad "not a 32-bit image"
grep -q 'Subsystem.*Windows CUI' <<<"$headers" || bad "not a console program"
grep -q 'DYNAMIC_BASE' <<<"$headers" || bad "ASLR is off"
grep -q 'NX_COMPAT' <<<"$headers" || bad "DEP is off"
# Runtime start-up: libgcc looks for its own DLL by name.
allowed="GetModuleHandleA LoadLibraryA"
ansi=$(grep -E 'A$' <<<"$calls" | grep -vxE "$(tr ' ' '|' <<<"$allowed")" | grep -vE '^(__|_)' || true)
[ -z "$ansi" ] || bad "ANSI calls: $(tr '\n' ' ' <<<"$ansi")"
echo "ANSI calls: none of its own (runtime start-up: $allowed)"
exit $fail
