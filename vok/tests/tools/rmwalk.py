#!/usr/bin/env python3
"""Structure checker for RealMedia files: walks the chunks and packets and
reports every inconsistency that a player would silently trip over.

    rmwalk.py FILE            print each problem; exit 0 iff the file is sound
    rmwalk.py --packets FILE  also print the packet list
    rmwalk.py --chunks FILE   also print the chunk list

Importable: walk(data) returns a Model (chunks, prop, streams, packets,
indexes, problems) that the integration tests build their checks on.
"""
import argparse
import bisect
import struct
import sys
from dataclasses import dataclass, field

LIVE_FLAG = 4
HEADER_TAGS = (b"PROP", b"MDPR", b"CONT")


@dataclass
class Chunk:
    tag: bytes
    offset: int
    size: int
    version: int


@dataclass
class Stream:
    number: int
    offset: int          # of its MDPR chunk
    name: bytes
    mime: bytes
    max_packet_size: int
    avg_packet_size: int
    duration: int
    type_data: bytes

    @property
    def logical(self):
        return self.mime.startswith(b"logical-")


@dataclass
class Packet:
    offset: int          # of the packet header
    length: int          # whole packet, header included
    version: int
    stream: int
    ts: int
    group: int
    flags: int           # v1: low byte of asm_rule, where players read it
    data_chunk: int      # offset of the DATA chunk holding it

    @property
    def header_size(self):
        return 13 if self.version == 1 else 12

    @property
    def end(self):
        return self.offset + self.length

    @property
    def keyframe(self):
        return bool(self.flags & 2)


@dataclass
class IndexRecord:
    version: int
    ts: int
    offset: int
    packet_count: int


@dataclass
class Index:
    offset: int
    size: int
    stream: int
    num_indices: int
    next: int
    records: list


@dataclass
class Model:
    size: int
    chunks: list = field(default_factory=list)
    prop: dict = field(default_factory=dict)
    rmf: dict = field(default_factory=dict)
    streams: dict = field(default_factory=dict)
    packets: list = field(default_factory=list)
    data: list = field(default_factory=list)   # (chunk, num_packets, next, real count)
    indexes: list = field(default_factory=list)
    ffmpeg_trailer: bool = False
    problems: list = field(default_factory=list)

    @property
    def sound(self):
        return not self.problems

    def physical(self):
        return {n for n, s in self.streams.items() if not s.logical}

    def packet_at(self, offset):
        """The packet whose header starts exactly at offset, or None."""
        starts = [p.offset for p in self.packets]
        i = bisect.bisect_left(starts, offset)
        if i < len(starts) and starts[i] == offset:
            return i, self.packets[i]
        return None

    def packet_containing(self, pos):
        """Index of the packet whose bytes hold file offset pos, or None."""
        starts = [p.offset for p in self.packets]
        i = bisect.bisect_right(starts, pos) - 1
        if i >= 0 and pos < self.packets[i].end:
            return i
        return None


PROP_FIELDS = ("max_bit_rate", "avg_bit_rate", "max_packet_size", "avg_packet_size", "num_packets",
               "duration", "preroll", "index_offset", "data_offset")
PROP_OFFSETS = {name: 10 + 4 * i for i, name in enumerate(PROP_FIELDS)}
PROP_OFFSETS.update(num_streams=46, flags=48)


def u16(d, o):
    return struct.unpack_from(">H", d, o)[0]


def u32(d, o):
    return struct.unpack_from(">I", d, o)[0]


def parse_prop(d, off):
    prop = {name: u32(d, off + rel) for name, rel in PROP_OFFSETS.items() if name not in ("num_streams", "flags")}
    prop["num_streams"] = u16(d, off + 46)
    prop["flags"] = u16(d, off + 48)
    prop["offset"] = off
    return prop


def parse_mdpr(d, off, end):
    """Returns a Stream, or raises ValueError when the fields run past the chunk."""
    p = off + 40
    if p + 1 > end:
        raise ValueError("too short")
    name = d[p + 1:p + 1 + d[p]]
    p += 1 + d[p]
    if p + 1 > end:
        raise ValueError("name runs past the chunk")
    mime = d[p + 1:p + 1 + d[p]]
    p += 1 + d[p]
    if p + 4 > end:
        raise ValueError("mime runs past the chunk")
    tlen = u32(d, p)
    if p + 4 + tlen > end:
        raise ValueError("type data runs past the chunk")
    return Stream(number=u16(d, off + 10), offset=off, name=name, mime=mime,
                  max_packet_size=u32(d, off + 20), avg_packet_size=u32(d, off + 24),
                  duration=u32(d, off + 36), type_data=d[p + 4:p + 4 + tlen])


def parse_packet(d, o, chunk):
    version, length, stream, ts = struct.unpack_from(">HHHI", d, o)
    return Packet(offset=o, length=length, version=version, stream=stream, ts=ts,
                  group=d[o + 10], flags=d[o + 11], data_chunk=chunk)


def walk_packets(d, m, chunk, single_data_so_far):
    """Chains the packets of one DATA chunk; returns how many it found."""
    start, end, n = chunk.offset + 18, chunk.offset + chunk.size, 0
    o = start
    eof = len(d)
    physical = m.physical()
    while o < end:
        # FFmpeg's own finish: DATA counts 18 bytes more than it holds and
        # 8 zero bytes close the file.
        if (o == eof - 8 and d[o:] == bytes(8) and end == o + 18 and single_data_so_far):
            m.ffmpeg_trailer = True
            break
        if o + 12 > min(end, eof):
            m.problems.append(f"DATA@{chunk.offset}: {min(end, eof) - o} stray bytes at {o}, too few for a packet")
            break
        p = parse_packet(d, o, chunk.offset)
        if p.version not in (0, 1):
            m.problems.append(f"packet@{o}: version {p.version}")
            break
        if p.version == 1 and o + 13 > min(end, eof):
            m.problems.append(f"packet@{o}: v1 header cut off")
            break
        if p.length < p.header_size:
            m.problems.append(f"packet@{o}: length {p.length} below its header size {p.header_size}")
            break
        if p.end > end:
            m.problems.append(f"packet@{o}: length {p.length} runs past the DATA end {end}")
            break
        if p.end > eof:
            m.problems.append(f"packet@{o}: length {p.length} runs past EOF {eof}")
            break
        if p.stream not in physical:
            m.problems.append(f"packet@{o}: stream {p.stream} is not a physical stream")
        if p.version == 0 and p.flags & 0xFC:
            m.problems.append(f"packet@{o}: flags {p.flags:#x} has unknown bits")
        m.packets.append(p)
        n += 1
        o = p.end
    return n


def walk_index(d, m, c):
    if c.size < 20:
        m.problems.append(f"INDX@{c.offset}: size {c.size} below 20")
        return
    n, stream, nxt = u32(d, c.offset + 10), u16(d, c.offset + 14), u32(d, c.offset + 16)
    if c.size != 20 + 14 * n:
        m.problems.append(f"INDX@{c.offset}: size {c.size} but {n} records need {20 + 14 * n}")
    records = []
    for i in range(min(n, (c.size - 20) // 14)):
        r = c.offset + 20 + 14 * i
        records.append(IndexRecord(version=u16(d, r), ts=u32(d, r + 2), offset=u32(d, r + 6),
                                   packet_count=u32(d, r + 10)))
    m.indexes.append(Index(offset=c.offset, size=c.size, stream=stream, num_indices=n, next=nxt, records=records))


def walk_chunks(d, m):
    eof = len(d)
    o = 0
    while o < eof:
        if o + 10 > eof:
            m.problems.append(f"{eof - o} stray bytes at {o}, too few for a chunk")
            return
        tag, size, ver = struct.unpack_from(">4sIH", d, o)
        c = Chunk(tag, o, size, ver)
        if o == 0 and tag != b".RMF":
            m.problems.append(f"file starts with {tag!r}, not .RMF")
            return
        m.chunks.append(c)
        if not all(48 <= b <= 57 or 65 <= b <= 90 or 97 <= b <= 122 or b == 46 for b in tag):
            # Unknown tags are legal, but garbage read as one is not a chunk.
            m.problems.append(f"chunk@{o}: tag {tag!r} is not a chunk name")
            return
        if tag == b"DATA":
            if size < 18:
                m.problems.append(f"DATA@{o}: size {size} below 18")
                return
            single = not m.data
            n = walk_packets(d, m, c, single)
            m.data.append((c, u32(d, o + 10), u32(d, o + 14), n))
            if m.ffmpeg_trailer:
                return
        elif size < 10:
            m.problems.append(f"{tag!r}@{o}: size {size} below 10")
            return
        if o + size > eof:
            m.problems.append(f"{tag!r}@{o}: size {size} runs past EOF {eof}")
            return
        if tag == b".RMF":
            if o != 0:
                m.problems.append(f".RMF again at {o}")
            elif size >= 18:
                m.rmf = {"file_version": u32(d, 10), "num_headers": u32(d, 14)}
        elif tag == b"PROP":
            if m.prop:
                m.problems.append(f"PROP again at {o}")
            elif size < 50:
                m.problems.append(f"PROP@{o}: size {size} below 50")
            else:
                m.prop = parse_prop(d, o)
        elif tag == b"MDPR":
            try:
                s = parse_mdpr(d, o, o + size)
            except ValueError as e:
                m.problems.append(f"MDPR@{o}: {e}")
            else:
                if s.number in m.streams:
                    m.problems.append(f"MDPR@{o}: stream {s.number} declared twice")
                m.streams[s.number] = s
        elif tag == b"INDX":
            walk_index(d, m, c)
        o += size


def check_data(m):
    if not m.data:
        m.problems.append("no DATA chunk")
        return
    for i, (c, num, nxt, real) in enumerate(m.data):
        want_next = m.data[i + 1][0].offset if i + 1 < len(m.data) else 0
        if nxt != want_next:
            m.problems.append(f"DATA@{c.offset}: next_data_header {nxt}, want {want_next}")
        if num != real:
            m.problems.append(f"DATA@{c.offset}: num_packets {num}, holds {real}")
        for t in m.chunks:
            if t.tag in HEADER_TAGS and t.offset > c.offset:
                m.problems.append(f"{t.tag!r}@{t.offset} after DATA@{c.offset}")
                break


def check_prop(m):
    prop = m.prop
    if not prop:
        m.problems.append("no PROP chunk")
        return
    if prop["num_packets"] != len(m.packets):
        m.problems.append(f"PROP.num_packets {prop['num_packets']}, file holds {len(m.packets)}")
    first_data = m.data[0][0].offset if m.data else 0
    if prop["data_offset"] != first_data:
        m.problems.append(f"PROP.data_offset {prop['data_offset']}, first DATA at {first_data}")
    first_indx = m.indexes[0].offset if m.indexes else 0
    if prop["index_offset"] != first_indx:
        m.problems.append(f"PROP.index_offset {prop['index_offset']}, first INDX at {first_indx}")
    if prop["flags"] & LIVE_FLAG:
        m.problems.append(f"PROP.flags {prop['flags']:#x} has the live bit")
    if m.packets and prop["duration"] == 0:
        m.problems.append("PROP.duration is 0 though the file holds packets")


def check_indexes(m):
    starts = {p.offset: (i, p) for i, p in enumerate(m.packets)}
    for k, x in enumerate(m.indexes):
        want_next = m.indexes[k + 1].offset if k + 1 < len(m.indexes) else 0
        if x.next != want_next:
            m.problems.append(f"INDX@{x.offset}: next_index_header {x.next}, want {want_next}")
        if x.stream not in m.physical():
            m.problems.append(f"INDX@{x.offset}: stream {x.stream} is not a physical stream")
        prev = None
        for j, r in enumerate(x.records):
            where = f"INDX@{x.offset} record {j}"
            if r.version != 0:
                m.problems.append(f"{where}: version {r.version}")
            hit = starts.get(r.offset)
            if hit is None:
                m.problems.append(f"{where}: offset {r.offset} is not a packet start")
            else:
                ordinal, p = hit
                if p.stream != x.stream:
                    m.problems.append(f"{where}: packet@{r.offset} is of stream {p.stream}, not {x.stream}")
                if r.packet_count != ordinal:
                    m.problems.append(f"{where}: packet_count {r.packet_count}, packet@{r.offset} is number {ordinal}")
                if r.ts != p.ts:
                    m.problems.append(f"{where}: ts {r.ts}, packet@{r.offset} has ts {p.ts}")
            if prev and not (r.ts > prev.ts and r.offset > prev.offset):
                m.problems.append(f"{where}: ts/offset {r.ts}/{r.offset} not above {prev.ts}/{prev.offset}")
            prev = r
    for t in m.chunks:
        if m.indexes and t.tag != b"INDX" and t.offset > m.indexes[0].offset:
            m.problems.append(f"{t.tag!r}@{t.offset} after the first INDX")
            break


def walk(d):
    """Parses and checks a whole file held in bytes; never raises on bad input."""
    m = Model(size=len(d))
    if len(d) < 10:
        m.problems.append(f"only {len(d)} bytes")
        return m
    walk_chunks(d, m)
    if not m.chunks:
        return m
    check_data(m)
    check_prop(m)
    check_indexes(m)
    return m


def walk_file(path):
    with open(path, "rb") as f:
        return walk(f.read())


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("file")
    ap.add_argument("--packets", action="store_true", help="print the packet list")
    ap.add_argument("--chunks", action="store_true", help="print the chunk list")
    a = ap.parse_args(argv)
    m = walk_file(a.file)
    if a.chunks:
        for c in m.chunks:
            print(f"chunk {c.tag.decode('latin-1')} offset {c.offset} size {c.size} version {c.version}")
    if a.packets:
        for i, p in enumerate(m.packets):
            print(f"{i} offset {p.offset} length {p.length} v{p.version} stream {p.stream} "
                  f"ts {p.ts} group {p.group} flags {p.flags}")
    for problem in m.problems:
        print(problem)
    return 0 if m.sound else 1


if __name__ == "__main__":
    sys.exit(main())
