"""Judges a repaired file with FFmpeg's own tools and the structure walker.

Each check returns a list of problems (strings); empty means it passed.
"""
import bisect
import statistics
import subprocess
from collections import defaultdict
from dataclasses import dataclass, field

FFPROBE = ["-show_entries", "packet=stream_index,pts,size,flags,pos:format=duration", "-of", "compact=p=0:nk=0"]


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, errors="replace")


class Probe(list):
    """ffprobe's packet list: dicts with stream, pts, size, pos (ints) and flags
    (a str), plus the format duration in seconds (None if there is none)."""
    duration = None


def probe_packets(path):
    out = run(["ffprobe", "-v", "error"] + FFPROBE + [path]).stdout
    packets = Probe()
    for line in out.splitlines():
        kv = dict(item.split("=", 1) for item in line.split("|") if "=" in item)
        if "stream_index" not in kv:
            if "duration" in kv:
                try:
                    packets.duration = float(kv["duration"])
                except ValueError:
                    pass
            continue
        num = lambda k: int(kv[k]) if kv.get(k, "N/A") != "N/A" else None  # noqa: E731
        packets.append({"stream": num("stream_index"), "pts": num("pts"), "size": num("size"),
                        "pos": num("pos"), "flags": kv.get("flags", "")})
    return packets


def stream_numbers(m):
    """FFmpeg numbers the physical streams in the order of their MDPRs."""
    return [s.number for s in sorted(m.streams.values(), key=lambda s: s.offset) if not s.logical]


def is_key(pk):
    return pk["flags"].startswith("K")


def per_stream(packets):
    out = defaultdict(list)
    for pk in packets:
        out[pk["stream"]].append((pk["pts"], pk["size"], pk["flags"]))
    return out


def overlaps(start, end, ranges):
    return any(start < e and s < end for s, e in ranges)


def expected_survivors(ref_packets, ref_model, ranges):
    """ffprobe's view of the reference minus every packet the damage touches.

    Returns (per-stream lists, number dropped, problems of the oracle itself)."""
    starts = [p.offset for p in ref_model.packets]
    keep, dropped, problems = [], 0, []
    for pk in ref_packets:
        i = bisect.bisect_right(starts, pk["pos"]) - 1
        if i < 0 or pk["pos"] >= ref_model.packets[i].end:
            problems.append(f"reference packet at pos {pk['pos']} is in no container packet")
            continue
        p = ref_model.packets[i]
        if overlaps(p.offset, p.end, ranges):
            dropped += 1
        else:
            keep.append(pk)
    return per_stream(keep), dropped, problems


def compare_streams(expected, got, what="packets"):
    problems = []
    for s in sorted(set(expected) | set(got)):
        e, g = expected.get(s, []), got.get(s, [])
        if e == g:
            continue
        n = next((i for i, (a, b) in enumerate(zip(e, g)) if a != b), min(len(e), len(g)))
        problems.append(f"stream {s}: expected {len(e)} {what}, got {len(g)}; first difference at #{n}: "
                        f"expected {e[n] if n < len(e) else 'end'}, got {g[n] if n < len(g) else 'end'}")
    return problems


@dataclass(frozen=True)
class Kept:
    """What a repair must carry over unchanged; where it sits may differ."""
    stream: int
    ts: int
    key: bool
    payload: bytes
    offset: int = field(compare=False)

    def __str__(self):
        return f"stream {self.stream} ts {self.ts} key {self.key} payload {len(self.payload)} bytes at {self.offset}"


def container_packets(data, m, ranges=()):
    """The packets of m that the ranges leave alone."""
    return [Kept(p.stream, p.ts, p.keyframe, data[p.offset + p.header_size:p.end], p.offset)
            for p in m.packets if not overlaps(p.offset, p.end, ranges)]


def compare_container(expected, got):
    if expected == got:
        return []
    n = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b), min(len(expected), len(got)))
    return [f"container packets: expected {len(expected)}, got {len(got)}; first difference at #{n}: "
            f"expected {expected[n] if n < len(expected) else 'end'}, got {got[n] if n < len(got) else 'end'}"]


def decode_errors(path):
    """Lines FFmpeg prints while decoding everything; its exit code hides I/O errors."""
    r = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"])
    return [f"decode: {line}" for line in (r.stdout + r.stderr).splitlines()[:5]]


def typical_step(pts_list):
    steps = [b - a for a, b in zip(pts_list, pts_list[1:]) if b > a]
    return statistics.median(steps) if steps else 0


def duration_problems(packets, m):
    """ffprobe's and PROP's duration must lie within one frame of the last kept packet."""
    if not packets:
        return ["no packets to measure the duration against"]
    by_stream = defaultdict(list)
    for pk in packets:
        if pk["pts"] is not None:
            by_stream[pk["stream"]].append(pk["pts"])
    last = max(max(v) for v in by_stream.values())
    step = max(typical_step(sorted(v)) for v in by_stream.values())
    problems = []
    for what, ms in (("ffprobe duration", (packets.duration or 0) * 1000),
                     ("PROP.duration", m.prop.get("duration", 0))):
        if ms in (0, 3600000) or not (last - 1 <= ms <= last + step + 2):
            problems.append(f"{what} {ms:.0f} ms, last kept packet at {last} ms, frame {step:.0f} ms")
    return problems


def index_problems(packets, m):
    """Every record must name a keyframe FFmpeg sees there; every video keyframe must be indexed."""
    problems = []
    numbers = stream_numbers(m)
    video = {i for i, n in enumerate(numbers) if m.streams[n].mime.startswith(b"video/")}
    by_key = defaultdict(list)
    for pk in packets:
        by_key[(pk["stream"], pk["pts"])].append(pk)
    indexed = defaultdict(set)
    for x in m.indexes:
        if x.stream not in numbers:
            problems.append(f"INDX@{x.offset}: stream {x.stream} unknown to FFmpeg")
            continue
        si = numbers.index(x.stream)
        for j, r in enumerate(x.records):
            indexed[si].add(r.ts)
            hits = [pk for pk in by_key.get((si, r.ts), []) if is_key(pk) and r.offset < pk["pos"] <= r.offset + 29]
            if not hits:
                problems.append(f"INDX@{x.offset} record {j} (ts {r.ts}, offset {r.offset}): "
                                f"no keyframe of stream {si} there in ffprobe's list")
    for si in sorted(video):
        missing = sorted(pk["pts"] for pk in packets
                         if pk["stream"] == si and is_key(pk) and pk["pts"] not in indexed[si])
        if missing:
            problems.append(f"stream {si}: {len(missing)} keyframes not indexed, first at {missing[0]} ms")
    return problems


def first_packet_after_seek(path, stream, t):
    out = run(["ffprobe", "-v", "error", "-select_streams", str(stream), "-read_intervals", f"{t:.3f}%+#1",
               "-show_entries", "packet=pts", "-of", "csv=p=0", path]).stdout.split()
    return int(out[0]) if out and out[0].lstrip("-").isdigit() else None


def seek_target(m):
    """ffprobe's index of the stream to seek in (the video one if any), and whether it is video."""
    numbers = stream_numbers(m)
    video = [i for i, n in enumerate(numbers) if m.streams[n].mime.startswith(b"video/")]
    return (video[0], True) if video else (0, False)


def seek_once(path, packets, m, t):
    """Problems of one seek to t seconds: where ffprobe lands, what ffmpeg says."""
    target, video = seek_target(m)
    ms = round(t * 1000)
    got = first_packet_after_seek(path, target, t)
    problems = []
    if video:
        keys = [pk["pts"] for pk in packets if pk["stream"] == target and is_key(pk) and pk["pts"] <= ms]
        want = max(keys, default=None)
        if got != want:
            problems.append(f"seek {t:.3f} s: first video packet at {got}, want keyframe {want}")
    else:
        number = stream_numbers(m)[target]
        recs = [r.ts for x in m.indexes if x.stream == number for r in x.records]
        spacing = max((b - a for a, b in zip([0] + recs, recs + [max(pk["pts"] for pk in packets)])), default=0)
        if got is None or not (ms - (spacing + 50) <= got <= ms):
            problems.append(f"seek {t:.3f} s: first audio packet at {got}, want in [{ms - spacing - 50}, {ms}]")
    r = run(["ffmpeg", "-nostdin", "-v", "warning", "-ss", f"{t:.3f}", "-i", path, "-t", "1", "-f", "null", "-"])
    lines = (r.stdout + r.stderr).splitlines()
    if lines:
        problems.append(f"seek {t:.3f} s: ffmpeg says {lines[0]!r}")
    return problems


def seek_problems(path, packets, m, times, control=None):
    """Seeks must land on the last keyframe at or before t and decode cleanly.

    FFmpeg's own seeking reads timestamps from the middle of packets and can
    run off the end of the file on payload bytes that look like headers. A t
    where the control (the same packets indexed by the tests) fails as well
    says nothing about the file under test: it goes to the notes.
    Returns (problems, notes)."""
    problems, notes = [], []
    for t in times:
        p = seek_once(path, packets, m, t)
        if p and control and seek_once(control[0], packets, control[1], t):
            notes.append(f"seek {t:.3f} s: FFmpeg fails on the control too")
            continue
        problems += p
    return problems, notes


def seek_times(packets, m, count=5):
    """Spread over the file, off the frame grid so that 'at or before' matters;
    without video also the exact times of some index records, where FFmpeg
    takes the record without reading around."""
    last = max((pk["pts"] or 0) for pk in packets) if packets else 0
    times = [round(last * (k + 0.37) / (count + 0.5)) / 1000 for k in range(count)]
    if not seek_target(m)[1]:
        recs = sorted({r.ts for x in m.indexes for r in x.records})
        times += [ts / 1000 for ts in recs[1::max(1, len(recs) // 4)]]
    return times
