#!/usr/bin/env python3
"""Files past 2 GiB and past 4 GiB, made sparse so they cost no disk.

A 2.2 GiB unknown chunk among the headers puts every packet, and the index
that -i appends, beyond the 2 GiB mark: a 32-bit build that loses the high
bits of an offset reads or writes the wrong place. A 4.5 GiB file cannot have
correct 32-bit offsets and must be refused untouched.

  large_file.py --vok PATH            the Linux build
  large_file.py --vok PATH --wine     a Windows build, run under Wine in a
                                      throwaway prefix
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

PAD = 0x8C000000  # 2.2 GiB


def chunks(data):
    off = 0
    while off + 10 <= len(data):
        tag, size = data[off:off + 4], struct.unpack_from(">I", data, off + 4)[0]
        yield off, tag, size
        if tag == b"DATA":
            return
        off += size


def make_large(src, path):
    """The source file with a sparse padding chunk before its DATA chunk."""
    heads = {tag: off for off, tag, _ in chunks(src)}
    data_at = heads[b"DATA"]
    head = bytearray(src[:data_at])
    prop = heads[b"PROP"]
    struct.pack_into(">I", head, 14, struct.unpack_from(">I", head, 14)[0] + 1)  # num_headers
    struct.pack_into(">I", head, prop + 42, data_at + PAD)  # data_offset
    with open(path, "wb") as f:
        f.write(head)
        f.write(b"JUNK" + struct.pack(">IH", PAD, 0))
        f.seek(data_at + PAD)
        f.write(src[data_at:])
    return data_at + PAD


def wine_env(prefix):
    """A fresh prefix, booted by the 64-bit loader, which also starts 32-bit
    programs and avoids a slow emulated start of the 32-bit one first."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "wine"))
    from winetest import _find_wine64
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
    wine = _find_wine64()
    subprocess.run([wine, "wineboot", "-i"], env=env, capture_output=True, check=True)
    return [wine], env


def vok(args, mode, path):
    target = "Z:" + path.replace("/", "\\") if args.wine else path
    r = subprocess.run(args.runner + [args.vok, mode, target], capture_output=True, env=args.env)
    return r.returncode, r.stdout.decode(errors="replace").strip(), r.stderr.decode(errors="replace").strip()


def index_chain(path, at):
    """(stream, records) of each INDX chunk from `at`, following the chain."""
    out = []
    with open(path, "rb") as f:
        while at:
            f.seek(at)
            head = f.read(20)
            if head[:4] != b"INDX":
                raise AssertionError("no INDX chunk at %d" % at)
            n, stream, at = struct.unpack_from(">IHI", head, 10)
            out.append((stream, n))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vok", required=True)
    ap.add_argument("--wine", action="store_true")
    ap.add_argument("--folder", help="where to make the sparse files (a disk that supports them)")
    args = ap.parse_args()
    failures = 0

    def check(ok, what):
        nonlocal failures
        print(("ok   " if ok else "FAIL ") + what)
        failures += not ok

    with tempfile.TemporaryDirectory(dir=args.folder) as d:
        args.runner, args.env = wine_env(os.path.join(d, "prefix")) if args.wine else ([], None)
        src_path = os.path.join(d, "src.rm")
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=128x96:rate=10", "-f",
                        "lavfi", "-i", "sine=f=440", "-t", "3", "-c:v", "rv10", "-c:a", "ac3", src_path],
                       check=True)
        src = open(src_path, "rb").read()
        big = os.path.join(d, "large.rm")
        data_at = make_large(src, big)

        code, out, err = vok(args, "--check", big)
        check(code == 0 and "sound" in out, "past 2 GiB: --check finds it sound (%d: %s %s)" % (code, out, err))
        code, out, err = vok(args, "-i", big)
        check(code == 0 and "indexed" in out, "past 2 GiB: -i indexes it (%d: %s %s)" % (code, out, err))
        with open(big, "rb") as f:
            f.seek(18 + 38)  # PROP follows the 18-byte .RMF; index_offset
            index_at = struct.unpack(">I", f.read(4))[0]
        check(index_at > data_at, "index_offset %d lies after the packets at %d" % (index_at, data_at))
        chain = index_chain(big, index_at) if index_at else []
        check(len(chain) == 2 and all(n > 0 for _, n in chain), "two INDX chunks with records: %r" % chain)
        check(index_at and os.path.getsize(big) == index_at + sum(20 + 14 * n for _, n in chain),
              "the index ends the file")
        code, out, err = vok(args, "--check", big)
        check(code == 0, "still sound after -i (%d: %s %s)" % (code, out, err))

        huge = os.path.join(d, "huge.rm")
        with open(huge, "wb") as f:
            f.write(src)
            f.truncate(0x120000000)  # 4.5 GiB
        before = os.stat(huge)
        for mode in ("--check", "-f"):
            code, out, err = vok(args, mode, huge)
            check(code == 4 and "4 GiB" in err, "past 4 GiB: %s refuses (%d: %s)" % (mode, code, err))
        after = os.stat(huge)
        check((before.st_size, before.st_mtime_ns) == (after.st_size, after.st_mtime_ns), "past 4 GiB: untouched")
        if args.wine:
            subprocess.run(["wineserver", "-k"], env=args.env, capture_output=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
