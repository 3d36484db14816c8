"""Test files made at run time: clean FFmpeg output of each kind, and damaged
copies derived from them in Python.

Every damaged copy says where its damage lies, in the byte coordinates of a
reference file that FFmpeg reads correctly, so the oracle can tell which
packets must survive a repair.
"""
import os
import random
import struct
import subprocess
import sys
from dataclasses import dataclass

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import rmwalk  # noqa: E402

AV_SOURCES = ["-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=f=440", "-t", "20"]
KINDS = {
    "av_rv20_ac3": AV_SOURCES + ["-c:v", "rv20", "-c:a", "ac3"],
    "av_rv10_ac3": AV_SOURCES + ["-c:v", "rv10", "-c:a", "ac3"],
    "v_rv20_big": ["-f", "lavfi", "-i", "testsrc2=size=640x480:rate=25", "-t", "10",
                   "-c:v", "rv20", "-q:v", "2", "-g", "50"],
    "a_ac3": ["-f", "lavfi", "-i", "sine=f=440", "-t", "20", "-c:a", "ac3"],
    # Another file made the same way: a reference for lost headers, a second part.
    "av_rv20_ac3_15s": ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                        "sine=f=660", "-t", "15", "-c:v", "rv20", "-c:a", "ac3"],
    "tiny": ["-f", "lavfi", "-i", "testsrc=size=128x96:rate=10", "-f", "lavfi", "-i", "sine=r=8000", "-t", "3",
             "-c:v", "rv10", "-c:a", "real_144", "-ac", "1"],
}
UNFINALIZED_BYTES = 600000
SEED = 20240611


def ffmpeg_file(kind, path):
    subprocess.run(["ffmpeg", "-v", "error", "-y"] + KINDS[kind] + [path], check=True)


def ffmpeg_unfinalized(path):
    """The av_rv20_ac3 stream written to a pipe and cut short: never finalized."""
    cmd = ["ffmpeg", "-v", "error", "-y"] + KINDS["av_rv20_ac3"] + ["-f", "rm", "pipe:1"]
    with subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as p:
        data = p.stdout.read(UNFINALIZED_BYTES)
        p.stdout.close()
    with open(path, "wb") as f:
        f.write(data)


def make_clean(folder):
    """Writes one fresh FFmpeg file per kind; returns {kind: bytes}."""
    out = {}
    for kind in KINDS:
        path = os.path.join(folder, kind + ".rm")
        ffmpeg_file(kind, path)
        with open(path, "rb") as f:
            out[kind] = f.read()
    return out


@dataclass
class Fixture:
    name: str
    data: bytes
    reference: bytes          # what the damage was applied to; FFmpeg reads it right
    ranges: list              # damaged [start, end) in reference coordinates
    needs_repair: object      # True, False, or None when either answer is defensible
    ffmpeg_readable: bool = True   # False: FFmpeg cannot demux these packets

    @property
    def damaged_bytes(self):
        return sum(e - s for s, e in self.ranges)


# --- byte patching --------------------------------------------------------

def put32(buf, off, v):
    struct.pack_into(">I", buf, off, v)


def put16(buf, off, v):
    struct.pack_into(">H", buf, off, v)


def model(data):
    m = rmwalk.walk(data)
    assert m.packets, m.problems
    return m


def data_chunk(m):
    return m.data[0][0]


def exact(data):
    """The FFmpeg trailer form made exact: DATA.size = 18 + packets, no trailing zeros."""
    m = model(data)
    if not m.ffmpeg_trailer:
        return bytes(data)
    buf = bytearray(data[:-8])
    c = data_chunk(m)
    put32(buf, c.offset + 4, c.size - 18)
    return bytes(buf)


def fill_span(m, at_fraction):
    at = int(m.size * at_fraction)
    length = max(3000, 2 * max(p.length for p in m.packets))
    return at, min(at + length, m.size)


# --- damage kinds ---------------------------------------------------------

def truncate(data, frac=0.55):
    cut = int(len(data) * frac)
    return data[:cut], [(cut, len(data))]


def zero_tail(data, frac=0.55):
    cut = int(len(data) * frac)
    return data[:cut] + bytes(len(data) - cut), [(cut, len(data))]


def zero_fill(data, frac=0.30):
    s, e = fill_span(model(data), frac)
    return data[:s] + bytes(e - s) + data[e:], [(s, e)]


def random_fill(data, frac=0.40, seed=SEED):
    s, e = fill_span(model(data), frac)
    return data[:s] + random.Random(seed).randbytes(e - s) + data[e:], [(s, e)]


def fake_header(data, frac=0.40):
    """Garbage holding one header that looks right but claims 60000 bytes."""
    m = model(data)
    buf, ranges = random_fill(data, frac, SEED + 1)
    buf = bytearray(buf)
    s, e = ranges[0]
    starts = {p.offset for p in m.packets}
    at = s + (e - s) // 4
    while at + 60000 in starts:
        at += 1
    assert at + 60000 < len(buf), "file too small for the fake header"
    near = m.packets[m.packet_containing(s) or 0]
    stream = min(m.physical())
    struct.pack_into(">HHHIBB", buf, at, 0, 60000, stream, near.ts, 0, 2)
    return bytes(buf), ranges


def lengths_off(data):
    """One packet claims 100 bytes more, a later one of another stream 130 fewer."""
    m = model(data)
    buf = bytearray(data)
    n = len(m.packets)
    streams = sorted(m.physical())
    ranges = []
    for frac, delta, stream in ((0.25, 100, streams[0]), (0.60, -130, streams[-1])):
        i = next(i for i in range(int(n * frac), n)
                 if m.packets[i].stream == stream and m.packets[i].length > 12 + 130 + 16)
        p = m.packets[i]
        put16(buf, p.offset + 2, p.length + delta)
        ranges.append((p.offset + 2, p.offset + 4))
    return bytes(buf), ranges


def two_data_chunks(data):
    """Splits the one DATA in two at a packet boundary, both chunks exact."""
    data = exact(data)
    m = model(data)
    c = data_chunk(m)
    k = len(m.packets) // 2
    split = m.packets[k].offset
    first, second = split - c.offset, c.offset + c.size - split
    buf = bytearray(data[:split] + b"DATA" + bytes(14) + data[split:])
    put32(buf, c.offset + 4, first)
    put32(buf, c.offset + 10, k)
    put32(buf, c.offset + 14, split)
    put32(buf, split + 4, 18 + second)
    put32(buf, split + 10, len(m.packets) - k)
    put32(buf, split + 14, 0)
    return bytes(buf), []


def as_v1(data):
    """Every packet rewritten with the 13-byte v1 header; the rule field carries the flags."""
    data = exact(data)
    m = model(data)
    c = data_chunk(m)
    out = bytearray(data[:c.offset + 18])
    for p in m.packets:
        body = data[p.offset + 12:p.end]
        out += struct.pack(">HHHIBBB", 1, p.length + 1, p.stream, p.ts, p.group, p.flags, 0) + body
    out += data[c.offset + c.size:]
    put32(out, c.offset + 4, c.size + len(m.packets))
    return bytes(out)


def prop_patch(data, field, value):
    m = model(data)
    buf = bytearray(data)
    off = m.prop["offset"] + rmwalk.PROP_OFFSETS[field]
    (put16 if field in ("num_streams", "flags") else put32)(buf, off, value)
    return bytes(buf)


def logical_stream(stream_numbers=(), data_offsets=(), rules=(), properties=()):
    body = struct.pack(">HH", 0, len(stream_numbers))
    body += b"".join(struct.pack(">H", n) for n in stream_numbers)
    body += b"".join(struct.pack(">I", o) for o in data_offsets)
    body += struct.pack(">H", len(rules)) + b"".join(struct.pack(">H", r) for r in rules)
    body += struct.pack(">H", len(properties))
    for name, value in properties:
        prop = struct.pack(">HB", 0, len(name)) + name + struct.pack(">IH", 2, len(value)) + value
        body += struct.pack(">I", 4 + len(prop)) + prop
    return struct.pack(">I", 4 + len(body)) + body


def mdpr(number, mime, type_data, name=b""):
    body = struct.pack(">H7I", number, 0, 0, 0, 0, 0, 0, 0)
    body += bytes([len(name)]) + name + bytes([len(mime)]) + mime + struct.pack(">I", len(type_data)) + type_data
    return b"MDPR" + struct.pack(">IH", 10 + len(body), 0) + body


def insert_header(data, chunk_bytes, after_stream=None):
    """Puts a header chunk after the MDPR of after_stream (default: the last
    MDPR), moving everything behind it and fixing the offsets that point there."""
    m = model(data)
    mdprs = {c.offset: c for c in m.chunks if c.tag == b"MDPR"}
    anchor = mdprs[m.streams[after_stream].offset] if after_stream is not None else mdprs[max(mdprs)]
    at = anchor.offset + anchor.size
    buf = bytearray(data[:at] + chunk_bytes + data[at:])
    grow = len(chunk_bytes)
    put32(buf, 14, m.rmf["num_headers"] + 1)
    p = m.prop["offset"]
    if chunk_bytes[:4] == b"MDPR":  # writers count every stream header, logical ones too
        put16(buf, p + rmwalk.PROP_OFFSETS["num_streams"], m.prop["num_streams"] + 1)
    put32(buf, p + rmwalk.PROP_OFFSETS["data_offset"], m.prop["data_offset"] + grow)
    if m.prop["index_offset"]:
        put32(buf, p + rmwalk.PROP_OFFSETS["index_offset"], m.prop["index_offset"] + grow)
    return bytes(buf)


def with_fileinfo(data):
    m = model(data)
    number = max(m.streams) + 1
    blob = logical_stream(properties=[(b"Title", b"vok test"), (b"Generated By", b"fixtures.py")])
    return insert_header(data, mdpr(number, b"logical-fileinfo", blob), after_stream=min(m.streams))


def with_multirate(data):
    """A multirate audio group pointing at the DATA chunk, as SureStream files have."""
    m = model(data)
    audio = max(m.physical())
    mime = b"logical-audio/x-pn-multirate-realaudio"
    grow = len(mdpr(0, mime, logical_stream([audio], [0], rules=(0, 0))))
    blob = logical_stream([audio], [m.prop["data_offset"] + grow], rules=(0, 0))
    return insert_header(data, mdpr(max(m.streams) + 1, mime, blob))


# --- index ----------------------------------------------------------------

def index_records(m, stream, audio_spacing_ms=1000):
    """Keyframes of a video stream; flagged audio packets at most one a second."""
    video = m.streams[stream].mime.startswith(b"video/")
    out = []
    for i, p in enumerate(m.packets):
        if p.stream != stream or not p.keyframe:
            continue
        if out and (p.ts <= out[-1][1] or (not video and p.ts < out[-1][1] + audio_spacing_ms)):
            continue
        out.append((i, p.ts, p.offset))
    return out


def with_index(data, shift=0):
    """Appends one INDX per physical stream. shift > 0 makes a lying index
    whose offsets point that many entries back (still packet starts)."""
    data = exact(data)
    m = model(data)
    streams = sorted(m.physical())
    tables = [(s, index_records(m, s)) for s in streams]
    tables = [(s, r) for s, r in tables if r]
    out = bytearray(data)
    first = len(out)
    at = first
    for k, (stream, recs) in enumerate(tables):
        size = 20 + 14 * len(recs)
        nxt = at + size if k + 1 < len(tables) else 0
        out += b"INDX" + struct.pack(">IHIHI", size, 0, len(recs), stream, nxt)
        for j, (i, ts, off) in enumerate(recs):
            src = recs[max(0, j - shift)]
            out += struct.pack(">HIII", 0, ts, src[2], src[0])
        at += size
    put32(out, m.prop["offset"] + rmwalk.PROP_OFFSETS["index_offset"], first)
    put32(out, 14, m.rmf["num_headers"] + len(tables))
    return bytes(out)


# --- the sets the runner uses ---------------------------------------------

def damaged(clean, unfinalized):
    """All damaged copies, from the clean files of make_clean()."""
    av = clean["av_rv20_ac3"]
    out = []

    def add(name, ref, fn, needs=True, readable=True):
        data, ranges = fn(ref)
        out.append(Fixture(name, data, ref, ranges, needs, readable))

    for kind, ops in (("av_rv20_ac3", ("truncate", "zero30", "random40", "zero_tail")),
                      ("av_rv10_ac3", ("truncate", "random40")),
                      ("v_rv20_big", ("truncate", "zero30", "random40")),
                      ("a_ac3", ("truncate", "random40", "zero_tail")),
                      ("tiny", ("truncate", "zero30"))):
        fns = {"truncate": truncate, "zero_tail": zero_tail, "zero30": zero_fill, "random40": random_fill}
        for op in ops:
            add(f"{kind}/{op}", clean[kind], fns[op])
    add("av_rv20_ac3/fake_header", av, fake_header)
    add("av_rv20_ac3/lengths_off", av, lengths_off)
    add("av_rv20_ac3/two_data", av, two_data_chunks)
    out.append(Fixture("av_rv20_ac3/unfinalized", unfinalized, av, [(len(unfinalized), len(av))], True))

    indexed = with_index(av)
    for name, field, value in (("prop_data_offset", "data_offset", 1234),
                               ("prop_duration0", "duration", 0),
                               ("prop_index_past_eof", "index_offset", len(av) + 1000)):
        ref = indexed if field == "data_offset" else av
        out.append(Fixture(f"av_rv20_ac3/{name}", prop_patch(ref, field, value), ref, [], True))
    flags = model(av).prop["flags"]
    out.append(Fixture("av_rv20_ac3/live_flag", prop_patch(av, "flags", flags | rmwalk.LIVE_FLAG), av, [], True))

    prop_size = bytearray(av)
    put32(prop_size, model(av).prop["offset"] + 4, 0x7A3B19C5)
    out.append(Fixture("av_rv20_ac3/prop_size_garbage", bytes(prop_size), av, [], True))

    info = with_fileinfo(av)
    out.append(Fixture("av_rv20_ac3/fileinfo", info, info, [], False))
    add("av_rv20_ac3/fileinfo_random40", info, random_fill)

    v1 = as_v1(av)
    out.append(Fixture("av_rv20_ac3/v1", v1, v1, [], None, False))
    add("av_rv20_ac3/v1_random40", v1, random_fill, True, False)
    return out


def refused(clean):
    """Variants -f must refuse (exit 4) and leave alone."""
    av = clean["av_rv20_ac3"]
    rmp = bytearray(av)
    rmp[:4] = b".RMP"
    multirate, _ = random_fill(with_multirate(av))
    return {"rmp_tag": bytes(rmp), "multirate_damaged": multirate}


def unreadable(clean):
    """Inputs that are not RealMedia at all, or whose headers cannot be read (exit 3)."""
    av = clean["av_rv20_ac3"]
    mdpr_lost = bytearray(av)
    audio = model(av).streams[max(model(av).physical())]
    end = next(c.offset + c.size for c in model(av).chunks if c.offset == audio.offset)
    mdpr_lost[audio.offset:end] = bytes(end - audio.offset)
    return {"empty": b"", "text": b"this is not a movie\n" * 20, "rmf_tag_only": b".RMF",
            "bare_realaudio": b".ra\xfd\x00\x04" + bytes(200), "stream_header_lost": bytes(mdpr_lost)}


def without_index(data):
    """The same file with its INDX chunks cut off and index_offset cleared."""
    m = rmwalk.walk(data)
    if not m.indexes:
        return bytes(data)
    buf = bytearray(data[:m.indexes[0].offset])
    put32(buf, m.prop["offset"] + rmwalk.PROP_OFFSETS["index_offset"], 0)
    return bytes(buf)


def reindexed(data):
    """The packets of data with the tests' own index: the control for seeks."""
    return with_index(without_index(data))


# --- damage a packet chain alone does not show ------------------------------

HTTP_RESPONSE = (b"HTTP/1.1 200 OK\r\nServer: Apache\r\nContent-Type: application/vnd.rn-realmedia\r\n"
                 b"Accept-Ranges: bytes\r\n\r\n")


def chunk_of(m, tag, stream=None):
    for c in m.chunks:
        if c.tag == tag and (stream is None or m.streams[stream].offset == c.offset):
            return c
    raise KeyError(tag)


def overwrite(data, at, new):
    return data[:at] + new + data[at + len(new):]


def packet_at(m, frac, stream):
    """The first packet of a stream from a fraction of the file on."""
    return next(p for p in m.packets if p.offset >= m.size * frac and p.stream == stream)


def recoverable(av):
    """The headers damaged where the packets say how to rebuild them, and
    packets that chain but cannot be right: a timestamp with a flipped bit,
    a piece of a download written twice, a stream number that flipped."""
    m = model(av)
    video, audio = min(m.physical()), max(m.physical())
    rnd = random.Random(SEED)
    data = chunk_of(m, b"DATA")
    vmdpr = chunk_of(m, b"MDPR", video)
    prop, cont = chunk_of(m, b"PROP"), chunk_of(m, b"CONT")
    name_at = vmdpr.offset + 40
    name_len = av[name_at]
    mime_len = av[name_at + 1 + name_len]
    texts = overwrite(overwrite(av, name_at + 1, bytes(name_len)), name_at + 2 + name_len, bytes(mime_len))
    flipped = packet_at(m, 0.5, video)
    ts = bytearray(av)
    put32(ts, flipped.offset + 6, flipped.ts ^ (1 << 24))
    moved = packet_at(m, 0.45, video)
    stream = bytearray(av)
    put16(stream, moved.offset + 4, audio)
    twice_at = int(m.size * 0.4)
    twice = av[:twice_at + 65536] + av[twice_at:twice_at + 65536] + av[twice_at + 65536:]
    size = bytearray(av)
    put32(size, vmdpr.offset + 4, vmdpr.size + 4)
    cases = [
        ("junk_before", rnd.randbytes(512) + av, []),
        ("http_response_before", HTTP_RESPONSE + av, []),
        ("data_header_zeroed", overwrite(av, data.offset, bytes(18)), []),
        ("data_header_overwritten", overwrite(av, data.offset, rnd.randbytes(18)), []),
        ("prop_zeroed", overwrite(av, prop.offset, bytes(prop.size)), []),
        ("cont_zeroed", overwrite(av, cont.offset, bytes(cont.size)), []),
        ("mdpr_size_off_by_4", bytes(size), []),
        ("mdpr_name_and_type_zeroed", texts, []),
        ("timestamp_bit_flipped", bytes(ts), [(flipped.offset + 6, flipped.offset + 10)]),
        ("piece_written_twice", twice, []),
        ("stream_number_flipped", bytes(stream), [(moved.offset + 4, moved.offset + 6)]),
    ]
    return [Fixture(f"recover/{name}", d, av, ranges, True) for name, d, ranges in cases]


def head_lost(av, n):
    """The first n bytes never arrived: every header and the first packets."""
    return Fixture(f"head_lost/{n // 1024}k", bytes(n) + av[n:], av, [(0, n)], True)
