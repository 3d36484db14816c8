"""What real players make of a RealMedia file: FFmpeg's decode, and whether
a seek works in FFmpeg, MPlayer and GStreamer.

Every function returns plain data and prints nothing. A seek check returns
(ok, detail); seeks() runs all three players at fractions of the duration.

How each player tells a good seek from a bad one:
- FFmpeg (`-ss T -t 1`): a seek it cannot make is only a warning ("could not
  seek to position T"; FFmpeg's generic seek reports -1 as "Operation not
  permitted"), so it runs at warning level; it must print nothing and decode
  something (-progress out_time_us > 0). It cannot seek at all where the
  stream it seeks in has a single keyframe (ffmpeg_cannot_seek): it then
  decodes nothing.
- MPlayer's own demuxer seeks only through the file's index. Without one it
  quietly plays from the start, so the check reads the position of its first
  status line: it must lie between the last keyframe at or before T and the
  first one after it (it lands on the next index entry; status lines come in
  steps of up to 1.5 s with fast audio output, and an index made by vok -i
  may hold one audio record a second: 3 s of slack), and it must not print a
  demuxer complaint ("bad packet len", "Seek failed", ...).
- GStreamer (rmdemux, libav decoders) runs in a child process: preroll, a
  flushing accurate seek, then buffers at or just after T (after the gap, when
  T falls into one) must come from every kind of stream that has packets
  after T, with no error on the bus. A failure says when rmdemux lost sync
  (GST_LOST_SYNC), its own flaw.
"""
import functools
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import rmwalk  # noqa: E402

# RealNetworks' producers write an empty INDX for the logical-fileinfo stream.
QUIRK = re.compile(r"Invalid stream index \d+ for index at pos \d+")
REPEATED = re.compile(r"^\s*Last message repeated \d+ times")
TIMEOUT = 60
SEEK_TIMEOUT = 30
FRACTIONS = (0.25, 0.5, 0.75)


def run(cmd, timeout=TIMEOUT):
    """(exit code, stdout, stderr); exit code None when it timed out."""
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, errors="replace", timeout=timeout,
                           stdin=subprocess.DEVNULL)
        return r.returncode, r.stdout, r.stderr
    except subprocess.TimeoutExpired:
        return None, "", f"timed out after {timeout} s"


def split_quirks(text):
    """(error lines, quirk lines); "Last message repeated" goes with the line before it."""
    errors, quirks, last = [], [], None
    for line in text.splitlines():
        if not line.strip():
            continue
        target = last if REPEATED.match(line) and last is not None else (quirks if QUIRK.search(line) else errors)
        target.append(line)
        last = target
    return errors, quirks


# --- FFmpeg -------------------------------------------------------------------

def ffmpeg_view(path):
    """FFmpeg's decode of the whole file: errors (quirk lines apart), frames per kind, duration."""
    code, out, err = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"])
    errors, quirks = split_quirks(out + err)
    if code is None:
        errors.append(err)
    view = {"errors": errors, "quirks": quirks, "audio_frames": 0, "video_frames": 0, "duration": None}
    _, out, _ = run(["ffprobe", "-v", "quiet", "-count_frames", "-show_entries",
                     "stream=codec_type,nb_read_frames:format=duration", "-of", "json", path])
    try:
        info = json.loads(out or "{}")
    except ValueError:
        info = {}
    for s in info.get("streams", []):
        key = f"{s.get('codec_type')}_frames"
        if key in view and str(s.get("nb_read_frames", "")).isdigit():
            view[key] += int(s["nb_read_frames"])
    try:
        view["duration"] = float(info["format"]["duration"])
    except (KeyError, ValueError):
        pass
    return view


def duration(path):
    _, out, _ = run(["ffprobe", "-v", "quiet", "-show_entries", "format=duration", "-of", "csv=p=0", path])
    try:
        return float(out.strip())
    except ValueError:
        return None


def ffmpeg_seek(path, t):
    code, out, err = run(["ffmpeg", "-nostdin", "-v", "warning", "-ss", f"{t:.3f}", "-i", path, "-t", "1",
                          "-progress", "pipe:1", "-f", "null", "-"], SEEK_TIMEOUT)
    errors, _ = split_quirks(err)
    decoded = max((int(v) for v in re.findall(r"^out_time_us=(\d+)", out, re.M)), default=0)
    if code != 0 or errors:
        said = (errors[0] if errors else err.strip()[:200]).replace(path, os.path.basename(path))
        return False, f"exit {code}: {said}"
    if decoded <= 0:
        return False, "decoded nothing"
    return True, f"decoded {decoded / 1e6:.2f} s"


# --- what the file holds, for judging where a player landed --------------------

@functools.lru_cache(maxsize=64)
def _layout(path, size, mtime):
    """Per physical stream: kind ('audio'/'video'), packet and keyframe times, in seconds."""
    m = rmwalk.walk_file(path)
    out = {}
    for n, s in m.streams.items():
        kind = s.mime.split(b"/")[0].decode("latin-1")
        if s.logical or kind not in ("audio", "video"):
            continue
        packets = [p for p in m.packets if p.stream == n]
        out[n] = {"kind": kind, "times": sorted({p.ts / 1000 for p in packets}),
                  "keys": sorted({p.ts / 1000 for p in packets if p.keyframe})}
    return out


def layout(path):
    st = os.stat(path)
    return _layout(os.path.abspath(path), st.st_size, st.st_mtime_ns)


def wanted_kinds(path, t):
    """{kind: first packet time at or after t} for the kinds with packets past
    t + 0.5 s; a seek into a gap of the timeline lands after the gap."""
    out = {}
    for s in layout(path).values():
        later = [x for x in s["times"] if x >= t]
        if later and later[-1] > t + 0.5:
            out[s["kind"]] = min(later[0], out.get(s["kind"], later[0]))
    return out


def ffmpeg_cannot_seek(path):
    """FFmpeg's seek needs a second keyframe in the stream it seeks in (the
    video one, else the audio one): with one it fails, and then decodes nothing."""
    s = main_stream(path)
    return bool(s) and len(s["keys"]) < 2


def main_stream(path):
    """The stream a player's position follows: the video one if any, else the first audio one."""
    streams = sorted(layout(path).values(), key=lambda s: s["kind"] != "video")
    return streams[0] if streams else None


def landing_window(path, t, before=0.5, after=3.0):
    """Where a seek to t may land: from the last keyframe at or before t to the first after it."""
    s = main_stream(path)
    keys = s["keys"] if s else []
    low = max((k for k in keys if k <= t), default=t)
    high = min((k for k in keys if k > t), default=t)
    return low - before, max(high, t) + after


# --- MPlayer ------------------------------------------------------------------

MPLAYER = ["mplayer", "-nolirc", "-nojoystick", "-noconfig", "all", "-noconsolecontrols", "-demuxer", "real",
           "-vo", "null", "-ao", f"pcm:fast:nowaveheader:file={os.devnull}", "-vfm", "ffmpeg", "-afm", "ffmpeg",
           "-benchmark"]
MPLAYER_TROUBLE = re.compile(r"bad packet len|Seek failed|invalid chunksize|Something went wrong|"
                             r"no (index|data) chunk|BUG|WARNING|\[\w+ @ 0x[0-9a-f]+\](?!Requested frame threading)")
# Status lines: "A: 45.9 (45.8) of 175.0 ..." without video ("A: 0.0 (unknown)"
# when nothing was decoded); with video the position of V and the count of
# decoded frames ("A: 4.9 V: 3.8 ... ct: 0.100 2/ 2").
AUDIO_STATUS = re.compile(r"^A:\s*(-?[\d.]+) \([\d:.]+\)", re.M)
VIDEO_STATUS = re.compile(r"^A:\s*-?[\d.]+\s+V:\s*(-?[\d.]+).*?ct:\s*-?[\d.]+\s+(\d+)/", re.M)


def mplayer_positions(text, video):
    """Where MPlayer says it is while it decodes; empty when it decoded nothing."""
    if video:
        return [float(v) for v, frames in VIDEO_STATUS.findall(text) if int(frames) > 0]
    return [float(a) for a in AUDIO_STATUS.findall(text)]


def mplayer_seek(path, t):
    s = main_stream(path)
    video = bool(s and s["kind"] == "video")
    span = ["-frames", "5"] if video else ["-endpos", "4"]
    code, out, err = run(MPLAYER + ["-ss", f"{t:.3f}"] + span + [path], SEEK_TIMEOUT)
    text = (out + err).replace("\r", "\n")
    trouble = sorted({m.group(0) for m in MPLAYER_TROUBLE.finditer(text)})
    positions = mplayer_positions(text, video)
    if code is None:
        return False, err
    if trouble:
        return False, "says " + ", ".join(trouble)
    if not positions:
        return False, "decoded nothing"
    low, high = landing_window(path, t)
    where = f"first {'V' if video else 'A'} at {positions[0]:.1f} s"
    if not low <= positions[0] <= high:
        return False, f"{where}, want {max(low, 0):.1f}..{high:.1f}"
    return True, where


# --- GStreamer ------------------------------------------------------------------

GST_CHILD = r'''
import json, sys, time
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
path, t, limit = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
pipe = Gst.parse_launch("filesrc name=src ! decodebin name=dec")
pipe.get_by_name("src").set_property("location", path)
stamps, errors, bogus = {}, [], [0]

def count_bogus(category, level, file, function, line, obj, message, *data):
    if "Bogus looking header" in message.get():
        bogus[0] += 1

Gst.debug_remove_log_function(None)
Gst.debug_add_log_function(count_bogus, None)

def pad_added(dec, pad):
    kind = pad.query_caps(None).to_string().split("/")[0]
    stamps.setdefault(kind, [])
    sink = Gst.ElementFactory.make("fakesink")
    sink.set_property("sync", False)
    sink.set_property("signal-handoffs", True)
    keep = lambda el, buf, p: buf.pts != Gst.CLOCK_TIME_NONE and stamps[kind].append(buf.pts / Gst.SECOND)
    sink.connect("handoff", keep)
    sink.connect("preroll-handoff", keep)
    pipe.add(sink)
    sink.sync_state_with_parent()
    pad.link(sink.get_static_pad("sink"))

pipe.get_by_name("dec").connect("pad-added", pad_added)
bus = pipe.get_bus()

def wait(kinds, done=lambda: False):
    """The first message of kinds, or None when done() or the time limit comes first."""
    end = time.monotonic() + limit
    while time.monotonic() < end and not done():
        m = bus.timed_pop_filtered(50 * Gst.MSECOND, kinds | Gst.MessageType.ERROR)
        if m:
            if m.type == Gst.MessageType.ERROR:
                errors.append(f"{m.src.get_name()}: {m.parse_error()[0].message}")
            return m
    return None

def finish(stage):
    pipe.set_state(Gst.State.NULL)
    print(json.dumps({"stage": stage, "errors": errors, "stamps": stamps, "bogus": bogus[0]}))
    sys.exit(0)

pipe.set_state(Gst.State.PAUSED)
if not wait(Gst.MessageType.ASYNC_DONE) or errors:
    finish("preroll")
for v in stamps.values():
    v.clear()
Gst.debug_set_threshold_for_name("rmdemux", Gst.DebugLevel.WARNING)
if not pipe.seek_simple(Gst.Format.TIME, Gst.SeekFlags.FLUSH | Gst.SeekFlags.ACCURATE, int(t * Gst.SECOND)):
    finish("seek refused")
if not wait(Gst.MessageType.ASYNC_DONE) or errors:
    finish("seek")
pipe.set_state(Gst.State.PLAYING)
enough = lambda: all(any(x >= t + 0.5 for x in v) for v in stamps.values())
wait(Gst.MessageType.EOS, enough)
finish("played")
'''


# rmdemux (1.22) keeps stale bytes across a flushing seek in pull mode: it
# then reads packet headers in the wrong place ("Bogus looking header") and
# gives up. Whether that happens depends on where its thread stood when the
# seek came, so it strikes sound files too, the producers' own among them.
GST_LOST_SYNC = "rmdemux lost sync"


@functools.lru_cache(maxsize=1)
def gst_python():
    """A Python that has GStreamer's bindings: $VOK_GST_PYTHON, this one, or a python3 on PATH."""
    if os.environ.get("VOK_GST_PYTHON"):
        return os.environ["VOK_GST_PYTHON"]
    candidates = [sys.executable] + [os.path.join(d, "python3") for d in os.environ.get("PATH", "").split(os.pathsep)]
    for c in candidates:
        if os.access(c, os.X_OK) and run([c, "-c", "import gi; gi.require_version('Gst', '1.0')"], 20)[0] == 0:
            return c
    return None


def gst_seek(path, t, limit=5.0):
    python = gst_python()
    if not python:
        return False, "no Python with GStreamer bindings (python3-gst-1.0)"
    code, out, err = run([python, "-c", GST_CHILD, os.path.abspath(path), f"{t:.3f}", str(limit)], SEEK_TIMEOUT)
    try:
        r = json.loads(out.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return False, f"child exit {code}: {err.strip()[-200:]}"
    why = f"; {GST_LOST_SYNC} ({r['bogus']} bogus headers after the seek)" if r["bogus"] else ""
    if r["errors"]:
        return False, f"{r['stage']}: {'; '.join(r['errors'])}{why}"
    if r["stage"] != "played":
        said = r["stage"] if r["stage"] == "seek refused" else f"{r['stage']}: no answer in {limit:.0f} s"
        return False, said + why
    want = wanted_kinds(path, t)
    near = {k for k, v in r["stamps"].items() if any(t - 0.5 <= x <= max(t, want.get(k, t)) + 2.5 for x in v)}
    missing = sorted(set(want) - near) if want else ([] if near else [""])
    firsts = ", ".join(f"{k} {v[0]:.2f}" for k, v in sorted(r["stamps"].items()) if v)
    if missing:
        kinds = "/".join(missing) + " " * any(missing)
        return False, f"no {kinds}buffer near {t:.2f} s (first: {firsts or 'none'}){why}"
    return True, f"first: {firsts}"


PLAYERS = {"ffmpeg": ffmpeg_seek, "mplayer": mplayer_seek, "gstreamer": gst_seek}


def seek_ok(player, path, fraction, total=None):
    """One seek to fraction x duration in one player: (ok, detail)."""
    total = duration(path) if total is None else total
    if not total:
        return False, "no duration"
    return PLAYERS[player](path, fraction * total)


def seeks(path, fractions=FRACTIONS, total=None):
    """{player: [(fraction, ok, detail), ...]} for every player; total is the
    duration to take fractions of (FFmpeg's, when not given)."""
    total = (duration(path) if total is None else total) or 0
    return {name: [(f, *seek_ok(name, path, f, total)) for f in fractions] for name in PLAYERS}
