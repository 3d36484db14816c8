#!/usr/bin/env bash
# Makes dist/vokxp-VERSION-win32.zip: one folder holding vokxp.exe, the
# vok.exe its repair script expects beside it, and 说明.txt. The same tree
# gives the same bytes. Builds first when the executables are missing or
# stale.
# Prints the listing; the last line is the zip's path.
# Assumes scripts/install-deps.sh has run.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -nE 's/^project\(vokxp[[:space:]]+VERSION[[:space:]]+([0-9]+(\.[0-9]+)*)[[:space:])].*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no VERSION in project() of CMakeLists.txt" >&2; exit 1; }

# Every entry's date: the last commit's, so it moves only with the tree.
# SOURCE_DATE_EPOCH wins, for a tree built outside git.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) ||
    { echo "package.sh: not a git tree; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi

exe=build/windows/vokxp.exe
vok=build/windows/vok/vok.exe
if [ -f "$exe" ] && [ -f "$vok" ]; then
  # A no-op when they are current; otherwise stale programs would ship.
  log=$(cmake --build --preset windows 2>&1) || { echo "$log" >&2; exit 1; }
else
  bash scripts/build.sh >&2
fi

mkdir -p dist
python3 - "$version" "$SOURCE_DATE_EPOCH" "dist/vokxp-$version-win32.zip" "$exe" "$vok" "res/说明.txt" <<'PY'
import hashlib, os, struct, sys, time, zipfile

version, epoch, out, exe, vok, notes = sys.argv[1:]
folder = "vokxp-%s/" % version
# DOS dates carry no zone; UTC keeps them the same on every machine.
stamp = time.gmtime(int(epoch))[:6]
if stamp[0] < 1980:
    sys.exit("package.sh: %s is before 1980, which a zip cannot hold" % epoch)


def fail(why):
    sys.exit("package.sh: " + why)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_i386(path, data):
    # The 32-bit build ships; a 64-bit one would not start on 32-bit Windows.
    if data[:2] != b"MZ":
        fail(path + " is not a Windows program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0" or struct.unpack_from("<H", data, pe + 4)[0] != 0x14C:
        fail(path + " is not a 32-bit x86 program")


members = [("vokxp.exe", read(exe)), ("vok.exe", read(vok)), ("说明.txt", read(notes))]
for path, (name, data) in zip((exe, vok), members):
    check_i386(path, data)
text = members[2][1]
# Notepad on older Windows guesses the code page without the BOM, and shows
# bare LFs as one long line; a checkout that rewrites line ends must not ship.
if not text.startswith(b"\xef\xbb\xbf") or not text.count(b"\n") == text.count(b"\r") == text.count(b"\r\n"):
    fail(notes + " must be UTF-8 with a BOM and CRLF line ends")
text.decode("utf-8")


def entry(name, mode, method):
    zi = zipfile.ZipInfo(folder + name, stamp)
    # Made on Unix: Info-ZIP's unzip re-codes the names of FAT-made entries
    # even with bit 11 set. Explorer reads the low byte, the DOS attributes.
    zi.create_system = 3
    zi.external_attr = mode << 16 | (0x10 if name == "" else 0x20)
    zi.compress_type = method
    return zi


tmp = out + ".part"
try:
    with zipfile.ZipFile(tmp, "w") as z:
        z.writestr(entry("", 0o40755, zipfile.ZIP_STORED), b"")
        for name, data in members:
            z.writestr(entry(name, 0o100644, zipfile.ZIP_DEFLATED), data, compresslevel=9)
    raw = read(tmp)
    # Explorer decodes names without bit 11 in the OEM code page; check the
    # headers as written, local and central, and that no extra field crept in.
    with zipfile.ZipFile(tmp) as z:
        for zi in z.infolist():
            utf8 = not zi.filename.isascii()
            local = struct.unpack_from("<4s2H", raw, zi.header_offset)
            lextra = struct.unpack_from("<H", raw, zi.header_offset + 28)[0]
            for flags in (local[2], zi.flag_bits):
                if bool(flags & 0x800) != utf8 or flags & 0x08:
                    fail("%s: general purpose flags %#x" % (zi.filename, flags))
            if zi.extra or lextra:
                fail("%s: has an extra field" % zi.filename)
        listing = [(zi.filename, zi.file_size, zi.CRC) for zi in z.infolist()]
    os.replace(tmp, out)
except BaseException:
    if os.path.exists(tmp):
        os.remove(tmp)
    raise

print("%10s  %-8s  %s" % ("size", "crc32", "name"))
for name, size, crc in listing:
    print("%10d  %08x  %s" % (size, crc, name))
print("%d bytes, sha256 %s, dated %s UTC" % (len(raw), hashlib.sha256(raw).hexdigest(), time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(int(epoch)))))
print(out)
PY
