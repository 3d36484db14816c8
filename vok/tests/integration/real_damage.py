#!/usr/bin/env python3
"""Files of real producers, clean and damaged, through vok --check, -f and -i,
and what FFmpeg, MPlayer and GStreamer make of each before and after.

    real_damage.py --vok build/host/vok/vok_asan [--only TEXT] [--keep] [--check]

Prints a Markdown table (a measurement: exit 0), then what went wrong where.
--check also holds every row to problems() and exits 1 on any FAIL.

The files are read from $VOK_REALDATA or ../shared/realdata beside the
project, never copied into it. Each damaged copy knows which byte ranges of
the original it touched, so the packets it left alone are known exactly.
"""
import argparse
import math
import os
import random
import re
import shutil
import sys
import tempfile
from collections import Counter
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import oracle  # noqa: E402
import players  # noqa: E402
import rmwalk  # noqa: E402
from test_repair import REALDATA, real_files, report  # noqa: E402
from vokrun import Vok, put, read, verdict, work_folder  # noqa: E402

SEED = 20240611
SPREAD = (0.25, 0.5, 0.75)
DURATION_SLACK = 2.5      # s past the last kept packet a duration may reach
VOK_CODES = range(0, 6)   # every exit code vok documents


@dataclass
class Variant:
    case: str
    data: bytes
    ranges: list              # damaged [start, end) in the original
    joined: bool = False      # the original twice: the second copy's times may move
    head_lost: bool = False   # everything before some packet zeroed
    beside: bool = False      # an episode made the same way, and a file made otherwise, in its folder


# --- damage -----------------------------------------------------------------------

def spread_packets(m):
    """The packets at about 25, 50 and 75 % of the file."""
    return [m.packets[int(f * len(m.packets))] for f in SPREAD]


def relabel(orig, case, packets, new_stream):
    data = bytearray(orig)
    for p in packets:
        data[p.offset + 4:p.offset + 6] = new_stream(p).to_bytes(2, "big")
    return Variant(case, bytes(data), [(p.offset + 4, p.offset + 6) for p in packets])


def flip_unknown(orig, m, rng):
    """One bit of the stream number flipped so it names no stream at all."""
    def flipped(p):
        bits = [b for b in range(16) if p.stream ^ (1 << b) not in m.streams]
        return p.stream ^ (1 << rng.choice(bits))
    return relabel(orig, "flip_unknown", spread_packets(m), flipped)


def flip_swap(orig, m):
    """Packets relabelled to the other physical stream (0 <-> 1)."""
    a, b = sorted(m.physical())
    return relabel(orig, "flip_swap", spread_packets(m), lambda p: b if p.stream == a else a)


def cut(orig, fraction):
    end = int(len(orig) * fraction)
    return Variant(f"cut{round(fraction * 100)}", orig[:end], [(end, len(orig))])


def zero_pieces(orig, rng):
    """About a fifth of the P-byte pieces zero-filled, the first and last one present."""
    size = 4096 if len(orig) < 100_000 else 16384
    count = math.ceil(len(orig) / size)
    chosen = sorted(rng.sample(range(1, count - 1), max(1, round(count / 5))))
    data = bytearray(orig)
    ranges = []
    for i in chosen:
        start, end = i * size, min((i + 1) * size, len(orig))
        data[start:end] = bytes(end - start)
        ranges.append((start, end))
    return Variant("zero_pieces", bytes(data), ranges)


def piece_again(orig, rng):
    """A P-byte piece written a second time: inserted again right after
    itself, and written over a later piece. Piece edges cut packets, so the
    packets the copy starts and ends inside lose their tails or heads."""
    size = 4096 if len(orig) < 100_000 else 16384
    t = rng.randrange(1, len(orig) // size - 3) * size
    inserted = orig[:t + size] + orig[t:t + size] + orig[t + size:]
    at = t + 2 * size
    over = orig[:at] + orig[t:t + size] + orig[at + size:]
    return [Variant("piece_inserted_again", inserted, []),
            Variant("piece_written_over_later", over, [(at, at + size)])]


def metadata_damaged(orig, m):
    """The metadata stream's header: its name and type bytes zeroed, a packet-free stream."""
    info = next((s for s in m.streams.values() if s.logical and b"fileinfo" in s.mime), None)
    if info is None:
        return []
    at = info.offset + 40
    end = at + 2 + len(info.name) + len(info.mime)
    data = orig[:at] + bytes(end - at) + orig[end:]
    return [Variant("metadata_damaged", data, [])]


def head_lost(orig, m):
    """The first piece zeroed, and the header chunks alone: with no file
    beside it made the same way (the headers rebuilt from the packets where
    they determine them), and with one."""
    piece = 4096 if len(orig) < 100_000 else 16384
    first = m.packets[0].offset
    out = []
    for case, end in (("first_piece_zeroed", piece), ("headers_zeroed", first)):
        data = bytes(end) + orig[end:]
        out.append(Variant(case, data, [(0, end)], head_lost=True))
        out.append(Variant(case + "_beside", data, [(0, end)], head_lost=True, beside=True))
    return out


def variants(orig, m):
    rng = random.Random(SEED)
    out = [Variant("clean", orig, []), flip_unknown(orig, m, rng)]
    if len(m.physical()) == 2:
        out.append(flip_swap(orig, m))
    out += [cut(orig, f) for f in (0.3, 0.6, 0.9)]
    out += [zero_pieces(orig, rng), Variant("joined_self", orig + orig, [], joined=True)]
    out += piece_again(orig, rng)
    return out + metadata_damaged(orig, m) + head_lost(orig, m)


# --- measurements ---------------------------------------------------------------------

@dataclass
class Row:
    file: str
    case: str
    runs: dict = field(default_factory=dict)       # "--check", "-f", "-i": vokrun.Result
    states: dict = field(default_factory=dict)     # "before", "-f", "-i": measure()
    untouched: int = 0
    kept: int = 0
    last_ts: float = None     # s, the last packet of the final file
    excused: dict = field(default_factory=dict)    # (player, fraction): why the player, not the file, fails
    head_lost: bool = False
    beside: bool = False
    own_kept: int = 0         # packets kept where the file's own headers are in place
    own_errors: set = field(default_factory=set)   # and the decode errors then
    own_said: tuple = None    # and -f's exit code, and its error where it failed
    foreign: int = 0          # packets of the final file that the original does not hold


def measure(path):
    view = players.ffmpeg_view(path)
    return {"view": view, "seeks": players.seeks(path, total=view["duration"])}


def take(pool, keys):
    """How many of keys the Counter pool holds, each taken once."""
    n = 0
    for key in keys:
        if pool[key] > 0:
            pool[key] -= 1
            n += 1
    return n


def count_kept(want, got, joined):
    """Packets of want found in got by stream, timestamp and payload; for a
    joined file the second copy by stream and payload alone."""
    pool = Counter((k.stream, k.ts, k.payload) for k in got)
    n = take(pool, [(k.stream, k.ts, k.payload) for k in want])
    if joined:
        loose = Counter()
        for (stream, _, payload), c in pool.items():
            loose[(stream, payload)] += c
        n += take(loose, [(k.stream, k.payload) for k in want])
    return n


def mplayer_from_first_packet(path, detail, t):
    """MPlayer landed where a seek to t from the first packet's time lands."""
    found = re.match(r"first [AV] at (-?[\d.]+) s", detail)
    first = min((s["times"][0] for s in players.layout(path).values() if s["times"]), default=0)
    if not found or first < 0.5:
        return False
    low, high = players.landing_window(path, t + first)
    return low <= float(found.group(1)) <= high


def excuse(player, detail, path, sound, original, t, own=None):
    """Why a failed seek after -i is the player's own trouble, or None; `own`
    is the repair with the file's own headers, where they were lost."""
    if player == "ffmpeg" and players.ffmpeg_cannot_seek(path):
        return "the stream FFmpeg seeks in has one keyframe"
    if player == "gstreamer" and players.GST_LOST_SYNC in detail and sound:
        return "rmdemux lost sync in a sound file"
    if player == "mplayer" and mplayer_from_first_packet(path, detail, t):
        return "MPlayer's -ss counts from the first packet, which the lost head took past 0 s"
    if own and not players.PLAYERS[player](own, t)[0]:
        return "fails the same with the file's own headers"
    if t < (players.duration(original) or 0) and not players.PLAYERS[player](original, t)[0]:
        return "fails on the original at that time too"
    return None


def excuses(row, path, sound, original, own):
    total = row.states["-i"]["view"]["duration"] or 0
    out = {}
    for player, results in row.states["-i"]["seeks"].items():
        for fraction, ok, detail in results:
            why = None if ok else excuse(player, detail, path, sound, original, fraction * total, own)
            if why:
                out[(player, fraction)] = why
    return out


EPISODE = "第1集.rm"


def put_beside(vok, work, folder, original, other):
    """An earlier episode made the same way (the original cut short and
    repaired: other counts, sizes and durations in its headers) and a file
    made otherwise."""
    scratch = tempfile.mkdtemp(dir=work, prefix="episode-")
    episode = os.path.join(scratch, EPISODE)
    orig = read(original)
    put(episode, orig[:len(orig) * 6 // 10])
    if vok("-f", "--no-backup", EPISODE, cwd=scratch).code != 0:
        put(episode, orig)  # too short to cut: the same episode again
    shutil.copy(episode, os.path.join(folder, EPISODE))
    shutil.copy(other, os.path.join(folder, "other.rm"))


def run_case(vok, work, name, original, m, v, other):
    folder = tempfile.mkdtemp(dir=work, prefix=f"{name}-{v.case}-")
    path = os.path.join(folder, name)
    put(path, v.data)
    if v.beside:
        put_beside(vok, work, folder, original, other)
    row = Row(name, v.case)
    row.head_lost, row.beside = v.head_lost, v.beside
    row.states["before"] = measure(path)
    for args in ("--check", "-f", "-i"):
        row.runs[args] = vok(args, name, cwd=folder)
        if args != "--check":
            row.states[args] = measure(path)
    final = read(path)
    fm = rmwalk.walk(final)
    orig = read(original)
    want = oracle.container_packets(orig, m, v.ranges)
    row.untouched = len(want) * (2 if v.joined else 1)
    got = oracle.container_packets(final, fm)
    row.kept = count_kept(want, got, v.joined)
    row.foreign = 0 if v.joined else len(got) - count_kept(oracle.container_packets(orig, m), got, False)
    row.last_ts = max(p.ts for p in fm.packets) / 1000 if fm.packets else None
    own, row.own_said = repaired_with_own_headers(vok, work, orig, m, v) if v.head_lost else (None, None)
    if own:
        final = read(own)
        row.own_kept = count_kept(want, oracle.container_packets(final, rmwalk.walk(final)), False)
        row.own_errors = {quiet(e) for e in players.ffmpeg_view(own)["errors"]}
    row.excused = excuses(row, path, fm.sound, original, own)
    return row


def repaired_with_own_headers(vok, work, orig, m, v):
    """The same packets with the original's header chunks in place, after -f and -i."""
    scratch = tempfile.mkdtemp(dir=work, prefix="own-")
    first = m.packets[0].offset
    put(os.path.join(scratch, NAME_OWN), orig[:first] + v.data[first:])
    r = vok("-f", "--no-backup", NAME_OWN, cwd=scratch)
    vok("-i", NAME_OWN, cwd=scratch)
    return os.path.join(scratch, NAME_OWN), (r.code, said(r, NAME_OWN) if r.code else "")


NAME_OWN = "own.rm"


def quiet(error):
    """An error line without the file's path and the decoder's address."""
    return re.sub(r" @ 0x[0-9a-f]+", "", error.split(": ", 1)[-1] if "/" in error.split(": ", 1)[0] else error)


# --- what a correct repair must satisfy ---------------------------------------------------

def crash_problems(row):
    out = []
    for args, r in row.runs.items():
        if r.code not in VOK_CODES:
            out.append(f"vok {args}: exit {r.code}: {r.err.strip()[:200]}")
        if "AddressSanitizer" in r.err or "runtime error:" in r.err:
            out.append(f"vok {args}: sanitizer report: {r.err.strip()[:200]}")
    return out


def problems(row):
    """What the repaired file (after -f and -i) must satisfy. Packets lost
    beyond the damage are only reported: those of an incomplete unit may go.
    A seek the player fails for its own reasons (excuses()) does not count."""
    out = crash_problems(row)
    f = row.runs["-f"]
    if row.head_lost:
        # Headers taken or rebuilt do what the file's own would; with no file
        # beside it, vok may refuse where the packets do not determine them.
        if row.beside and row.own_said[0] and (f.code, said(f, row.file)) != row.own_said:
            out.append(f"-f: {f.code} {said(f, row.file)!r}, with the file's own headers {row.own_said}")
        if f.code in (3, 4) and (not row.beside or row.own_said[0]):
            return out
        if row.kept < row.own_kept:
            out.append(f"{row.kept} packets kept, {row.own_kept} with the file's own headers")
        lent = f"headers taken from {EPISODE}" if row.beside else "headers rebuilt from the packets"
        if lent not in f.out:
            out.append(f"want {lent!r}: {f.out.strip()}")
    if row.foreign and f.code == 0:
        out.append(f"{row.foreign} packets kept that the original does not hold (damaged, or moved in time)")
    after = row.states["-i"]
    errors = [e for e in after["view"]["errors"] if quiet(e) not in row.own_errors]
    if errors:
        out.append(f"{len(errors)} decode error lines after repair, first: {errors[0]}")
    if row.runs["-f"].code == 0:
        for player, results in after["seeks"].items():
            for fraction, ok, detail in results:
                if not ok and (player, fraction) not in row.excused:
                    out.append(f"{player} seek to {fraction:.0%}: {detail}")
    dur = after["view"]["duration"]
    if row.last_ts is not None and (dur is None or dur > row.last_ts + DURATION_SLACK):
        out.append(f"duration {dur} s, last kept packet at {row.last_ts:.3f} s")
    return out


# --- the table ---------------------------------------------------------------------

def said(r, name):
    """vok's summary line without the file name, or its error."""
    text = (r.out or r.err).strip().splitlines()
    line = text[0] if text else ""
    for prefix in (f"{name}: ", f"vok: {name}: "):
        if line.startswith(prefix):
            line = line[len(prefix):]
    return line.replace("|", "\\|")


def frames(view):
    return f"{view['audio_frames']}" + (f"/{view['video_frames']}" if view["video_frames"] else "")


def seek_cell(state, excused=()):
    """ok/all per player; * when a failure is the player's own (excused)."""
    return " ".join(f"{sum(ok for _, ok, _ in r)}/{len(r)}" + "*" * any((p, f) in excused for f, _, _ in r)
                    for p, r in state["seeks"].items())


def table_row(row):
    b, a = row.states["before"]["view"], row.states["-i"]["view"]
    dur = lambda d: "?" if d is None else f"{d:.2f}"  # noqa: E731
    return [row.file, row.case, "/".join(str(r.code) for r in row.runs.values()), said(row.runs["-f"], row.file),
            row.untouched, row.kept, f"{frames(b)} → {frames(a)}", f"{len(b['errors'])} → {len(a['errors'])}",
            f"{dur(b['duration'])} → {dur(a['duration'])}",
            seek_cell(row.states["before"]), seek_cell(row.states["-f"]), seek_cell(row.states["-i"], row.excused)]


HEADER = ["file", "case", "exit check/-f/-i", "what vok -f said", "untouched", "kept",
          "audio[/video] frames", "decode errors", "duration s",
          "seeks before", "seeks after -f", "seeks after -i"]


def print_table(rows):
    print("seeks: ffmpeg mplayer gstreamer, at 25/50/75 % of the duration; * the player's own failure\n")
    print("| " + " | ".join(HEADER) + " |")
    print("|" + "---|" * len(HEADER))
    for row in rows:
        print("| " + " | ".join(str(x) for x in table_row(row)) + " |")


def print_details(rows):
    """After -i: the first failed seek per player, why it is excused if it
    is, and the first decode error."""
    print()
    for row in rows:
        name = f"{row.file} {row.case}"
        final = row.states["-i"]
        for p, results in final["seeks"].items():
            failed = [f"{f:.0%}" for f, ok, _ in results if not ok]
            if failed:
                first = next(d for _, ok, d in results if not ok)
                why = sorted({w for (q, _), w in row.excused.items() if q == p})
                excused = f" (excused: {'; '.join(why)})" if why else ""
                print(f"- {name}: {p} fails at {', '.join(failed)}{excused}: {first}")
        for e in final["view"]["errors"][:1]:
            print(f"- {name}: decode: {e}")
        if row.head_lost and row.runs["-f"].code == 0:
            print(f"- {name}: {row.kept} of {row.untouched} untouched packets kept "
                  f"({100 * row.kept / max(row.untouched, 1):.1f} %), {row.own_kept} with its own headers")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vok", required=True, help="the tool under test")
    ap.add_argument("--only", help="run only the cases whose 'file/case' contains this")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--check", action="store_true", help="hold each row to problems(); exit 1 on any FAIL")
    a = ap.parse_args()
    names = real_files()
    if not names:
        print(f"SKIP: no files of real producers in {REALDATA}")
        return 0
    vok, rows = Vok(a.vok), []
    with work_folder("vok-real-", a.keep) as work:
        for i, name in enumerate(names):
            original = os.path.join(REALDATA, name)
            other = os.path.join(REALDATA, names[(i + 1) % len(names)])
            orig = read(original)
            m = rmwalk.walk(orig)
            for v in variants(orig, m):
                if not a.only or a.only in f"{name}/{v.case}":
                    rows.append(run_case(vok, work, name, original, m, v, other))
        print_table(rows)
        print_details(rows)
        if not a.check:
            return 0
        print()
        failures = sum(report(f"{r.file}/{r.case}", problems(r)) for r in rows)
        return verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
