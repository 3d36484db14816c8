"""A damaged RealMedia file to repair, and the Linux-side checks of the result.

Shared by the end-to-end tests and the demo: both make the file at run time
with ffmpeg, let the real vok.exe repair it under Wine, and judge the result
here with tools that know nothing of vok: the structure checker rmwalk.py,
ffmpeg's decoder and ffprobe.
"""
import os
import re
import subprocess
import sys

RMWALK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vok", "tests", "tools", "rmwalk.py")
SOURCE_SECONDS = 20
DAMAGE = "4096 bytes zeroed at 40 %, cut at 80 %"


def make_sound(path):
    """Writes ffmpeg's 20 s of RealVideo 2 and AC-3 (no index) to path;
    returns its bytes."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                    "-f", "lavfi", "-i", "sine=f=440", "-t", str(SOURCE_SECONDS), "-c:v", "rv20", "-c:a", "ac3",
                    "-f", "rm", path], check=True, stdin=subprocess.DEVNULL)
    with open(path, "rb") as f:
        return f.read()


def make_damaged(path):
    """Writes a RealMedia file to path as a broken download leaves it:
    make_sound()'s file with 4096 bytes zeroed at 40 % and everything after
    80 % gone. Returns (size before the damage, the damaged bytes)."""
    data = bytearray(make_sound(path))
    size = len(data)
    hole = size * 40 // 100
    data[hole:hole + 4096] = bytes(4096)
    damaged = bytes(data[:size * 80 // 100])
    with open(path, "wb") as f:
        f.write(damaged)
    return size, damaged


def _first(lines):
    return lines[0] if len(lines) == 1 else "%d, first: %s" % (len(lines), lines[0])


def inspect(path):
    """What the Linux tools say of a RealMedia file: [(label, ok, detail)]
    for its structure, its index, decoding it and its duration."""
    walk = subprocess.run([sys.executable, RMWALK, "--chunks", path], capture_output=True, text=True)
    lines = walk.stdout.splitlines()
    problems = [line for line in lines if not line.startswith("chunk ")]
    indexes = sum(1 for line in lines if line.startswith("chunk INDX "))
    if walk.returncode not in (0, 1) or walk.stderr:
        problems.append("rmwalk.py exited %d: %s" % (walk.returncode, walk.stderr.strip()))
    decode = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True,
                            text=True, errors="replace", stdin=subprocess.DEVNULL)
    # Without the decoder's memory address, which changes from run to run.
    errors = [re.sub(r"^\[(\S+) @ 0x[0-9a-f]+\] ", r"[\1] ", line)
              for line in (decode.stdout + decode.stderr).splitlines()]
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
                           capture_output=True, text=True, errors="replace", stdin=subprocess.DEVNULL)
    try:
        duration = float(probe.stdout.strip())
    except ValueError:
        duration = None
    return [
        ("structure (rmwalk.py)", walk.returncode == 0 and not problems,
         "sound" if not problems else "problems " + _first(problems)),
        ("index chunks", indexes > 0, str(indexes)),
        ("decoding (ffmpeg)", not errors, "no errors" if not errors else "errors " + _first(errors)),
        # The damaged header still claims the whole 20 s, and a header
        # rebuilt from nothing says 0 or an hour: the repaired file must say
        # less than the source, as its tail is gone.
        ("duration (ffprobe)", duration is not None and 0 < duration < SOURCE_SECONDS,
         "%.3f s" % duration if duration is not None else "unknown: " + (probe.stderr.strip() or "-")),
    ]


def check_repaired(path, damaged):
    """inspect() of a file that vok -f then vok -i should have repaired,
    plus its backup: path + ".bak" must hold the damaged bytes."""
    backup = path + ".bak"
    try:
        with open(backup, "rb") as f:
            kept = f.read()
    except FileNotFoundError:
        kept = None
    name = os.path.basename(backup)
    if kept is None:
        detail = "%s missing" % name
    elif kept == damaged:
        detail = "%s holds the damaged file, byte for byte" % name
    else:
        detail = "%s: %d bytes, not the damaged %d" % (name, len(kept), len(damaged))
    return inspect(path) + [("backup", kept == damaged, detail)]
