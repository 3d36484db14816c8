#!/usr/bin/env python3
"""Synthesise a large, structurally sound RealMedia file for benchmarks.

The packets of a small source file are repeated with their timestamps
shifted by the source duration on each repeat, until the target size.
Keyframe flags, stream numbers and payload bytes are copied unchanged.
Output: the source's header chunks with the totals fixed, then one DATA
chunk; no index chunk, no trailing bytes. Deterministic for a given source.

  gen_big.py OUT.rm [--size BYTES] [--source SRC.rm]
  gen_big.py --verify FILE.rm      walk the chunks and packets, print totals
  gen_big.py OUT.rm --damage zero|random --of SRC.rm [--fraction F]
                                   SRC with F of its 256 KiB pieces zero-filled (a
                                   torrent download) or random bytes, never the first

Without --source, a 20 s rv20 + ac3 source is made with ffmpeg.
"""

import argparse
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

U32_LIMIT = 1 << 32
DEFAULT_SIZE = 1 << 30
SOURCE_CMD = [
    "ffmpeg", "-v", "error", "-y",
    "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
    "-f", "lavfi", "-i", "sine=f=440",
    "-t", "20", "-c:v", "rv20", "-c:a", "ac3",
]
# Flush in blocks this large: few syscalls, bounded memory.
WRITE_BLOCK = 32 << 20


def parse_size(text):
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([KMG]?)(?:I?B)?\s*", text, re.I)
    if not m:
        raise argparse.ArgumentTypeError("not a size: %r" % text)
    return int(float(m.group(1)) * {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}[m.group(2).upper()])


def fail(msg):
    print("gen_big: " + msg, file=sys.stderr)
    sys.exit(1)


def read_source(data):
    """Return (header chunks [(id, offset, bytes)], packets [(offset, length)])."""
    if data[:4] not in (b".RMF",):
        fail("source is not a 32-bit RealMedia file")
    chunks = []
    off = 0
    data_off = None
    while off + 10 <= len(data):
        cid, size, _ver = struct.unpack_from(">4sIH", data, off)
        if cid == b"DATA":
            data_off = off
            break
        if size < 10 or off + size > len(data):
            fail("bad header chunk %r at %d" % (cid, off))
        chunks.append((cid, bytearray(data[off:off + size])))
        off += size
    if data_off is None:
        fail("source has no DATA chunk")
    num = struct.unpack_from(">I", data, data_off + 10)[0]
    packets = []
    off = data_off + 18
    # The source's DATA.size is not trusted (FFmpeg's overshoots); chain lengths.
    while off + 12 <= len(data) and (num == 0 or len(packets) < num):
        ver, length = struct.unpack_from(">HH", data, off)
        if ver > 1 or length < 12 + ver or off + length > len(data):
            break
        packets.append((off, length))
        off += length
    if not packets:
        fail("source has no packets")
    return chunks, packets


def stream_steps(data, packets):
    """Per stream: (first ts, last ts, count) -> typical step, for durations."""
    info = {}
    for off, _l in packets:
        st, ts = struct.unpack_from(">HI", data, off + 4)
        f = info.get(st)
        if f is None:
            info[st] = [ts, ts, 1]
        else:
            f[1] = ts
            f[2] += 1
    steps = {}
    for st, (first, last, n) in info.items():
        steps[st] = round((last - first) / (n - 1)) if n > 1 else 0
    return info, steps


def generate(out_path, size, source_path):
    data = open(source_path, "rb").read()
    chunks, packets = read_source(data)
    info, steps = stream_steps(data, packets)
    # One repeat lasts as long as the longest stream: its last ts plus one step.
    shift = max(info[st][1] + steps[st] for st in info)
    if shift <= 0:
        fail("source timestamps do not advance; cannot repeat it")

    header_len = sum(len(c) for _cid, c in chunks)
    block = bytearray()
    ts_pos = []  # (offset of ts in block, source ts, stream)
    for off, length in packets:
        st, ts = struct.unpack_from(">HI", data, off + 4)
        ts_pos.append((len(block) + 6, ts, st))
        block += data[off:off + length]
    lengths = [l for _o, l in packets]

    limit = U32_LIMIT - 1
    if size > limit:
        fail("size must stay below 4 GiB")
    room = size - header_len - 18
    if room < len(block):
        fail("size too small for one copy of the source (%d bytes)" % (header_len + 18 + len(block)))
    full = room // len(block)
    # A last partial repeat fills the remainder packet by packet.
    rest = room - full * len(block)
    part_n = 0
    acc = 0
    while part_n < len(lengths) and acc + lengths[part_n] <= rest:
        acc += lengths[part_n]
        part_n += 1
    part_bytes = acc
    reps = full + (1 if part_n else 0)
    if (reps - 1) * shift + max(t for _p, t, _s in ts_pos) >= U32_LIMIT:
        fail("timestamps would overflow 32 bits")

    total_packets = full * len(packets) + part_n
    data_size = 18 + full * len(block) + part_bytes

    # Per-stream totals of the output, for durations and packet sizes.
    per = {}
    for i, (p, ts, st) in enumerate(ts_pos):
        reps_i = full + (1 if i < part_n else 0)
        if reps_i == 0:
            continue
        d = per.setdefault(st, {"n": 0, "pay": 0, "max": 0, "last": 0})
        hdr = 13 if block[p - 6 + 1] == 1 and block[p - 6] == 0 else 12
        pay = lengths[i] - hdr
        d["n"] += reps_i
        d["pay"] += reps_i * pay
        d["max"] = max(d["max"], pay)
        d["last"] = max(d["last"], (reps_i - 1) * shift + ts)
    end = {st: d["last"] + steps[st] for st, d in per.items()}
    duration = max(end.values())
    all_pay = sum(d["pay"] for d in per.values())

    out_chunks = []
    data_offset = header_len
    for cid, c in chunks:
        if cid == b".RMF":
            # Chunks after .RMF: the headers we keep plus DATA.
            struct.pack_into(">I", c, 14, len(chunks) - 1 + 1)
        elif cid == b"PROP":
            struct.pack_into(">I", c, 18, max(d["max"] for d in per.values()))
            struct.pack_into(">I", c, 22, all_pay // total_packets)
            struct.pack_into(">I", c, 26, total_packets)
            struct.pack_into(">I", c, 30, duration)
            struct.pack_into(">I", c, 38, 0)
            struct.pack_into(">I", c, 42, data_offset)
            flags = struct.unpack_from(">H", c, 48)[0]
            struct.pack_into(">H", c, 48, flags & ~4)  # not live any more
        elif cid == b"MDPR":
            st = struct.unpack_from(">H", c, 10)[0]
            if st in per:
                d = per[st]
                struct.pack_into(">I", c, 20, d["max"])
                struct.pack_into(">I", c, 24, d["pay"] // d["n"])
                struct.pack_into(">I", c, 36, end[st])
        out_chunks.append(bytes(c))

    tmp = out_path + ".part"
    with open(tmp, "wb", buffering=0) as f:
        buf = bytearray()
        for c in out_chunks:
            buf += c
        buf += struct.pack(">4sIHII", b"DATA", data_size, 0, total_packets, 0)
        pack = struct.Struct(">I").pack_into
        for r in range(reps):
            add = r * shift
            for p, ts, _st in ts_pos:
                pack(block, p, ts + add)
            buf += block if r < full else block[:part_bytes]
            if len(buf) >= WRITE_BLOCK:
                f.write(buf)
                buf = bytearray()
        f.write(buf)
    os.replace(tmp, out_path)
    return {
        "bytes": header_len + data_size,
        "packets": total_packets,
        "repeats": full,
        "partial_packets": part_n,
        "duration_ms": duration,
        "shift_ms": shift,
    }


def verify(path):
    """Walk chunks and packets; return (ok, message)."""
    size = os.path.getsize(path)
    errs = []
    with open(path, "rb") as f:
        head = f.read(1 << 16)
        off = 0
        prop = None
        mdpr = {}
        data_off = None
        nchunks = 0
        while off + 10 <= len(head):
            cid, csz, _v = struct.unpack_from(">4sIH", head, off)
            if cid == b"DATA":
                data_off = off
                break
            if csz < 10:
                return False, "bad chunk size at %d" % off
            if cid == b"PROP":
                prop = struct.unpack_from(">9IHH", head, off + 10)
            elif cid == b"MDPR":
                st = struct.unpack_from(">H", head, off + 10)[0]
                mdpr[st] = struct.unpack_from(">I", head, off + 36)[0]
            nchunks += 1
            off += csz
        if data_off is None or prop is None:
            return False, "no DATA or PROP chunk in the first 64 KiB"
        f.seek(data_off)
        dhead = f.read(18)
        _id, dsize, _v, dnum, dnext = struct.unpack(">4sIHII", dhead)
        pos = data_off + 18
        f.seek(pos)
        n = 0
        last = {}
        counts = {}
        keys = 0
        buf = b""
        bpos = pos  # file offset of buf[0]
        while True:
            i = pos - bpos
            if i + 12 > len(buf):
                # Refill from the packet start; packets may span refills.
                f.seek(pos)
                buf = f.read(8 << 20)
                bpos = pos
                i = 0
                if len(buf) < 12:
                    break
            ver, length, st, ts, _g, fl = struct.unpack_from(">HHHIBB", buf, i)
            if ver > 1 or length < 12 + ver:
                errs.append("bad packet at %d" % pos)
                break
            if st not in mdpr:
                errs.append("unknown stream %d at %d" % (st, pos))
                break
            if ts < last.get(st, 0):
                errs.append("ts steps back in stream %d at %d" % (st, pos))
                break
            last[st] = ts
            counts[st] = counts.get(st, 0) + 1
            keys += fl & 2 and 1
            n += 1
            pos += length
            if pos >= size:
                break
        if pos != size:
            errs.append("packets end at %d, file at %d" % (pos, size))
        if data_off + dsize != size:
            errs.append("DATA.size %d does not reach EOF" % dsize)
        if dnum != n or prop[4] != n:
            errs.append("num_packets DATA %d PROP %d, counted %d" % (dnum, prop[4], n))
        if dnext != 0:
            errs.append("next_data_header %d" % dnext)
        if prop[8] != data_off:
            errs.append("PROP.data_offset %d, DATA at %d" % (prop[8], data_off))
        if prop[7] != 0:
            errs.append("PROP.index_offset %d but no index" % prop[7])
        if prop[5] < max(last.values()):
            errs.append("PROP.duration %d below last ts" % prop[5])
    msg = "%d bytes, %d packets (%s), %d keyframe-flagged, last ts %s, PROP.duration %d, MDPR durations %s" % (
        size, n, ", ".join("stream %d: %d" % kv for kv in sorted(counts.items())), keys,
        max(last.values()), prop[5], ",".join(str(mdpr[k]) for k in sorted(mdpr)))
    if errs:
        return False, msg + "; " + "; ".join(errs)
    return True, msg


PIECE = 256 << 10


def damage(src, out, kind, fraction, seed=20240611):
    """Copies src to out with a fraction of its pieces zeroed or randomised."""
    rng = random.Random(seed)
    count = os.path.getsize(src) // PIECE
    chosen = set(rng.sample(range(1, count), int((count - 1) * fraction)))
    with open(src, "rb") as fin, open(out, "wb") as fout:
        for i in range(count + 1):
            piece = fin.read(PIECE)
            if i in chosen:
                piece = bytes(len(piece)) if kind == "zero" else rng.randbytes(len(piece))
            fout.write(piece)
    return len(chosen), count


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out", help="output file (or the file to walk with --verify)")
    ap.add_argument("--size", type=parse_size, default=DEFAULT_SIZE,
                    help="target size in bytes, K/M/G suffixes allowed (default 1G)")
    ap.add_argument("--source", help="small RealMedia file to repeat (default: make one with ffmpeg)")
    ap.add_argument("--verify", action="store_true", help="walk OUT and report; write nothing")
    ap.add_argument("--damage", choices=("zero", "random"), help="write a damaged copy of --of to OUT")
    ap.add_argument("--of", help="the file to damage")
    ap.add_argument("--fraction", type=float, default=0.5, help="of the pieces to damage (default 0.5)")
    a = ap.parse_args()

    if a.damage:
        if not a.of:
            fail("--damage needs --of")
        done, count = damage(a.of, a.out, a.damage, a.fraction)
        print("wrote %s: %d of %d pieces of %d KiB %s" % (a.out, done, count, PIECE >> 10,
                                                      "zero-filled" if a.damage == "zero" else "random"))
        return

    if a.verify:
        ok, msg = verify(a.out)
        print(("structure ok: " if ok else "structure BAD: ") + msg)
        sys.exit(0 if ok else 1)

    size = a.size
    tmpdir = None
    src = a.source
    if src is None:
        if shutil.which("ffmpeg") is None:
            fail("ffmpeg not found; give --source")
        tmpdir = tempfile.mkdtemp(prefix="gen_big.", dir=os.path.dirname(os.path.abspath(a.out)))
        src = os.path.join(tmpdir, "src.rm")
        subprocess.run(SOURCE_CMD + [src], check=True)
    try:
        t0 = time.monotonic()
        r = generate(a.out, size, src)
        dt = time.monotonic() - t0
    finally:
        if tmpdir:
            shutil.rmtree(tmpdir, ignore_errors=True)
    print("wrote %s: %d bytes, %d packets, %d repeats + %d packets, duration %.3f s, "
          "repeat every %d ms, %.1f s" % (a.out, r["bytes"], r["packets"], r["repeats"],
                                          r["partial_packets"], r["duration_ms"] / 1000.0,
                                          r["shift_ms"], dt))


if __name__ == "__main__":
    main()
