#!/usr/bin/env python3
"""Integration tests of vok: fresh FFmpeg files, damaged copies, safety rules
and bad input, judged by FFmpeg's own tools and the structure walker.

    test_repair.py --vok build/host/vok/vok [--index] [--only TEXT] [--keep]
    test_repair.py --selftest      proves the checks on the fixtures; no tool needed

Prints one line per case, then a table of the repairs; exits 1 on any failure.
"""
import argparse
import fcntl
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import fixtures  # noqa: E402
import oracle  # noqa: E402
import rmwalk  # noqa: E402
from judge import Scratch, judge  # noqa: E402
from vokrun import Vok, listing, put, read, state, untouched, verdict, work_folder  # noqa: E402

NAME = "movie.rm"
# Files written by real producers, kept beside the project (never copied into it).
REALDATA = os.environ.get("VOK_REALDATA") or os.path.join(HERE, "..", "..", "..", "..", "shared", "realdata")


class Skip(Exception):
    pass


class Context:
    def __init__(self, work, vok, index):
        self.work, self.vok, self.index = work, vok, index
        self.scratch = Scratch(os.path.join(work, "scratch"))
        self.rows = []
        self.recovered = []
        self.last_summary = ""
        self.notes = []
        self.serial = 0

    def folder(self):
        self.serial += 1
        path = os.path.join(self.work, f"case{self.serial:03d}")
        os.makedirs(path)
        return path


# --- shared expectations ----------------------------------------------------

def summary_problems(r, name=NAME):
    lines = r.out_lines()
    if len(lines) != 1 or not lines[0].startswith(name + ": "):
        return [f"want one summary line starting '{name}: ', got {r.out!r}"]
    return []


def leftovers(folder, allowed):
    extra = sorted(set(listing(folder)) - set(allowed))
    return [f"left in the folder: {extra}"] if extra else []


def backup_problems(folder, original, after, name=NAME, others=()):
    """A backup must exist and hold the original whenever bytes were removed."""
    bak = os.path.join(folder, name + ".bak")
    problems = leftovers(folder, [name, name + ".bak", *others])
    if len(after) < len(original) and not os.path.exists(bak):
        problems.append(f"-f removed {len(original) - len(after)} bytes but made no {name}.bak")
    if os.path.exists(bak) and read(bak) != original:
        problems.append(f"{name}.bak does not hold the original bytes")
    return problems


def error_problems(r, code, name):
    problems = []
    if r.code != code:
        problems.append(f"want exit {code}: {r}")
    if not r.err.startswith("vok: ") or name not in r.err:
        problems.append(f"want 'vok: {name}: reason' on stderr, got {r.err.strip()!r}")
    if len(r.out_lines()) > 1:
        problems.append(f"stdout has {len(r.out_lines())} lines")
    return problems


# --- repairs ----------------------------------------------------------------

def index_stage(ctx, folder, fixed, fx):
    """-i after -f: adds an index that FFmpeg agrees with, touches no packet, is idempotent."""
    path = os.path.join(folder, NAME)
    files = listing(folder)
    r = ctx.vok("-i", NAME, cwd=folder)
    if r.code != 0:
        return [f"-i: want exit 0: {r}"]
    problems = [f"-i: {p}" for p in summary_problems(r)]
    if listing(folder) != files:
        problems.append(f"-i changed the folder: {files} -> {listing(folder)}")
    data = read(path)
    m = rmwalk.walk(data)
    if not m.indexes:
        problems.append("-i wrote no INDX chunk")
    before = rmwalk.walk(fixed)
    if [(p.stream, p.ts, p.flags) for p in m.packets] != [(p.stream, p.ts, p.flags) for p in before.packets] or \
            any(data[p.offset:p.end] != fixed[q.offset:q.end] for p, q in zip(m.packets, before.packets)):
        problems.append("-i changed the packets")
    indexed = fixtures.Fixture(fx.name, data, fixed, [], None, fx.ffmpeg_readable)
    v = judge(ctx.scratch, data, indexed, seeks=True)
    problems += [f"after -i: {p}" for p in v.problems]
    ctx.notes += [f"{fx.name}: {n}" for n in v.notes if "control" in n]
    st = state(path)
    r = ctx.vok("-i", NAME, cwd=folder)
    if r.code != 0:
        problems.append(f"second -i: want exit 0: {r}")
    problems += [f"second -i: {p}" for p in untouched(st, path)]
    return problems


def repair_case(ctx, fx):
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    put(path, fx.data)
    before = state(path)
    problems = []
    r = ctx.vok("--check", NAME, cwd=folder)
    want = {True: 1, False: 0}.get(fx.needs_repair)
    if r.code not in (0, 1) or (want is not None and r.code != want):
        problems.append(f"--check: want exit {'0 or 1' if want is None else want}: {r}")
    problems += [f"--check: {p}" for p in summary_problems(r) + untouched(before, path) + leftovers(folder, [NAME])]
    check = r.code
    r = ctx.vok("-f", NAME, cwd=folder)
    if r.code != 0:
        ctx.rows.append((fx.name, "", "", "", "", "FAIL"))
        return problems + [f"-f: want exit 0: {r}"]
    problems += [f"-f: {p}" for p in summary_problems(r)]
    fixed = read(path)
    changed = fixed != fx.data
    if check in (0, 1) and (check == 1) != changed:
        problems.append(f"--check said exit {check}, yet -f {'changed' if changed else 'did not change'} the file")
    if fx.needs_repair is False and changed:
        problems.append("-f changed a sound file")
    problems += backup_problems(folder, fx.data, fixed)
    v = judge(ctx.scratch, fixed, fx)
    problems += v.problems
    counts = r.counts()
    if counts and counts[0] != v.kept:
        problems.append(f"summary says kept {counts[0]}, the file holds {v.kept}")
    ctx.last_summary = r.out.strip()
    if ctx.index:
        problems += index_stage(ctx, folder, fixed, fx)
    ctx.rows.append((fx.name, v.original, v.expected, v.kept, counts[1] if counts else "?",
                     "FAIL" if problems else "ok"))
    return problems


def fresh_case(ctx, kind):
    """An FFmpeg file is sound: --check says so, -f leaves it alone."""
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    data = ctx.clean[kind]
    put(path, data)
    before = state(path)
    problems = [f"rmwalk on the FFmpeg file: {p}" for p in rmwalk.walk(data).problems]
    r = ctx.vok("--check", NAME, cwd=folder)
    if r.code != 0:
        problems.append(f"--check: want exit 0: {r}")
    problems += [f"--check: {p}" for p in summary_problems(r) + untouched(before, path)]
    r = ctx.vok("-f", NAME, cwd=folder)
    if r.code != 0:
        problems.append(f"-f: want exit 0: {r}")
    problems += [f"-f: {p}" for p in summary_problems(r) + leftovers(folder, [NAME])]
    if read(path) != data:
        problems.append("-f changed the bytes of a sound file")
    counts = r.counts()
    if counts and counts != (len(rmwalk.walk(data).packets), 0):
        problems.append(f"-f summary counts {counts}, the file holds {len(rmwalk.walk(data).packets)} packets")
    if ctx.index and not problems:
        problems += index_stage(ctx, folder, data, fixtures.Fixture(kind, data, data, [], False))
        problems += only_index_added(data, read(path))
    return problems


def only_index_added(old, new):
    """Before the old DATA end only index_offset, num_headers and DATA.size may change."""
    m_old, m_new = rmwalk.walk(old), rmwalk.walk(new)
    end = m_old.packets[-1].end
    allowed = set(range(14, 18))
    allowed |= set(range(m_old.prop["offset"] + 38, m_old.prop["offset"] + 42))
    for c, *_ in m_old.data:
        allowed |= set(range(c.offset + 4, c.offset + 8))
    problems = []
    diff = [i for i in range(min(end, len(new))) if old[i] != new[i] and i not in allowed] if len(new) >= end \
        else ["file shorter than the old packets"]
    if diff:
        problems.append(f"-i changed bytes before the old DATA end, first at {diff[0]}")
    stray = [c for c in m_new.chunks if c.offset >= end and c.tag != b"INDX"]
    if stray:
        problems.append(f"-i added {stray[0].tag!r} at {stray[0].offset}, not only INDX")
    return problems


# --- damage before the first packet, and packets that cannot be right ---------

def recover_case(ctx, fx):
    """repair_case, remembering what vok said for the table."""
    problems = repair_case(ctx, fx)
    ctx.recovered.append((fx.name, ctx.last_summary))
    return problems


def head_lost_case(ctx, fx, beside):
    """Without headers, and nothing beside it made the same way, vok says
    where the packets start and what can repair it; with a file made the same
    way as reference, named or (`beside`) in its folder, it repairs."""
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    put(path, fx.data)
    if beside:
        put(os.path.join(folder, "other.rm"), ctx.clean["a_ac3"])
    before = state(path)
    problems = []
    for args in (["--check"], ["-f"], ["-i"]):
        r = ctx.vok(*args, NAME, cwd=folder)
        problems += [f"{args[0]}: {p}" for p in error_problems(r, 3, NAME) + untouched(before, path)]
        if "packets start at offset" not in r.err or "--reference" not in r.err:
            problems.append(f"{args[0]}: want where the packets start and --reference: {r.err.strip()!r}")
        if beside and args[0] != "-i" and "(1 looked at)" not in r.err:
            problems.append(f"{args[0]}: want the file beside it looked at: {r.err.strip()!r}")
    good = os.path.join(folder if beside else ctx.folder(), "第1集.rm")
    put(good, ctx.clean["av_rv20_ac3_15s"])
    r = ctx.vok("-f", NAME, cwd=folder) if beside else ctx.vok("-f", "--reference", good, NAME, cwd=folder)
    if r.code != 0:
        return problems + [f"-f: want exit 0: {r}"]
    if beside and "headers taken from 第1集.rm" not in r.out:
        problems.append(f"want the file beside it named: {r.out.strip()!r}")
    fixed = read(path)
    problems += backup_problems(folder, fx.data, fixed, others=["other.rm", "第1集.rm"] if beside else [])
    if read(good) != ctx.clean["av_rv20_ac3_15s"]:
        problems.append("the reference changed")
    v = judge(ctx.scratch, fixed, fx)
    # The first keyframe went with the head: the decoder starts on a P-frame.
    problems += [p for p in v.problems if "first frame is no keyframe" not in p]
    ctx.recovered.append((fx.name + (" beside" if beside else " with --reference"), r.out.strip()))
    ctx.rows.append((fx.name, v.original, v.expected, v.kept, "", "FAIL" if problems else "ok"))
    return problems


def misfit_case(ctx):
    """A reference whose streams are not those of the file's packets is refused."""
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    put(path, fixtures.head_lost(ctx.clean["av_rv20_ac3"], 4096).data)
    before = state(path)
    good = os.path.join(folder, "other.rm")
    put(good, ctx.clean["a_ac3"])
    r = ctx.vok("-f", "--reference", good, NAME, cwd=folder)
    return error_problems(r, 4, NAME) + untouched(before, path) + leftovers(folder, [NAME, "other.rm"])


def fix_concatenation(ctx, a, b, folder=None):
    """`cat a b > FILE; vok -f FILE`: the run, its folder and what FILE holds after it."""
    folder = folder or ctx.folder()
    path = os.path.join(folder, NAME)
    put(path, a + b)
    r = ctx.vok("-f", NAME, cwd=folder)
    return r, folder, read(path)


def joined_case(ctx):
    """cat a.rm b.rm of one making: b follows a, its times moved on."""
    a, b = ctx.clean["av_rv20_ac3"], ctx.clean["av_rv20_ac3_15s"]
    r, folder, fixed = fix_concatenation(ctx, a, b)
    if r.code != 0:
        return [f"-f: want exit 0: {r}"]
    m, ma, mb = rmwalk.walk(fixed), rmwalk.walk(a), rmwalk.walk(b)
    problems = [f"rmwalk: {p}" for p in m.problems] + backup_problems(folder, a + b, fixed)
    if len(m.packets) != len(ma.packets) + len(mb.packets):
        problems.append(f"{len(m.packets)} packets, want {len(ma.packets)} + {len(mb.packets)}")
    for stream in m.physical():
        ts = [p.ts for p in m.packets if p.stream == stream]
        if any(y < x for x, y in zip(ts, ts[1:])):
            problems.append(f"stream {stream}: timestamps go back")
    want = ma.prop["duration"] + mb.prop["duration"]
    if abs(m.prop["duration"] - want) > 80:
        problems.append(f"duration {m.prop['duration']} ms, want about {want}")
    scratch = ctx.scratch.write(fixed, "joined.rm")
    problems += oracle.decode_errors(scratch)
    if "joined" not in r.out:
        problems.append(f"the summary does not say it joined: {r.out.strip()!r}")
    ctx.recovered.append(("recover/two_files_of_one_making", r.out.strip()))
    return problems


def second_file_case(ctx):
    """cat a.rm b.rm of different streams: a is kept, b goes to a file of its own."""
    a, b = ctx.clean["av_rv20_ac3"], ctx.clean["a_ac3"]
    second = NAME.replace(".rm", " (2).rm")
    folder = ctx.folder()
    put(os.path.join(folder, second), b"someone else's file")
    r, folder, fixed = fix_concatenation(ctx, a, b, folder)
    if r.code != 0:
        return [f"-f: want exit 0: {r}"]
    third = os.path.join(folder, NAME.replace(".rm", " (3).rm"))
    problems = [p for p in backup_problems(folder, a + b, fixed) if "left in the folder" not in p]
    problems += leftovers(folder, [NAME, NAME + ".bak", second, os.path.basename(third)])
    problems += compare_packets(rmwalk.walk(a), rmwalk.walk(fixed))
    if read(os.path.join(folder, second)) != b"someone else's file":
        problems.append(f"{second} was overwritten")
    if not os.path.exists(third) or read(third) != b:
        problems.append(f"the second file is not in {os.path.basename(third)}: {listing(folder)}")
    if "second file follows" not in r.out or "(3).rm" not in r.out:
        problems.append(f"the summary does not say where the second file went: {r.out.strip()!r}")
    ctx.recovered.append(("recover/two_different_files", r.out.strip()))
    return problems


def compare_packets(want, got):
    if [(p.stream, p.ts) for p in want.packets] != [(p.stream, p.ts) for p in got.packets]:
        return [f"packets: want {len(want.packets)} of the first file, got {len(got.packets)}"]
    return []


# --- files from real producers ------------------------------------------------

def real_files():
    if not os.path.isdir(REALDATA):
        return []
    return sorted(n for n in os.listdir(REALDATA) if n.lower().endswith((".rm", ".rmvb")))


def real_case(ctx, name):
    """A sound file from a real producer goes through --check, -f and -i
    exactly as it came in: same bytes, same mtime, nothing beside it."""
    folder = ctx.folder()
    path = os.path.join(folder, name)
    put(path, read(os.path.join(REALDATA, name)))
    before = state(path)
    problems = []
    for args, code, word in ((["--check"], 0, "sound"), (["-f"], 0, "sound"),
                             (["-i"], 0, "index already right")):
        r = ctx.vok(*args, name, cwd=folder)
        where = " ".join(args)
        if r.code != code or not r.out.startswith(f"{name}: {word}"):
            problems.append(f"{where}: want exit {code} and '{word}': {r}")
        problems += [f"{where}: {p}" for p in untouched(before, path) + leftovers(folder, [name])]
    return problems


# --- safety rules -------------------------------------------------------------

def damaged_av(ctx):
    return next(f for f in ctx.damaged if f.name == "av_rv20_ac3/random40")


def option_order_case(ctx):
    fx = damaged_av(ctx)
    base = ctx.folder()
    put(os.path.join(base, NAME), fx.data)
    ctx.vok("-f", NAME, cwd=base)
    want = read(os.path.join(base, NAME))
    problems = []
    for args, backup in ((["-f", "--no-backup", NAME], False), (["--no-backup", "-f", NAME], False),
                         ([NAME, "-f"], True), (["-f", "--", NAME], True)):
        folder = ctx.folder()
        put(os.path.join(folder, NAME), fx.data)
        r = ctx.vok(*args, cwd=folder)
        where = " ".join(args)
        if r.code != 0:
            problems.append(f"{where}: want exit 0: {r}")
            continue
        if read(os.path.join(folder, NAME)) != want:
            problems.append(f"{where}: result differs from plain -f")
        if listing(folder) != sorted([NAME] + [NAME + ".bak"] * backup):
            problems.append(f"{where}: folder holds {listing(folder)}")
    # Run from elsewhere: backup and temporary file belong next to the file.
    cwd, folder = ctx.folder(), ctx.folder()
    put(os.path.join(folder, NAME), fx.data)
    rel = os.path.join("..", os.path.basename(folder), NAME)
    r = ctx.vok("-f", rel, cwd=cwd)
    if r.code != 0 or read(os.path.join(folder, NAME)) != want or listing(cwd) or \
            listing(folder) != [NAME, NAME + ".bak"]:
        problems.append(f"-f {rel} from another folder: {r}; there {listing(folder)}, here {listing(cwd)}")
    folder = ctx.folder()
    dash = "-dash.rm"
    put(os.path.join(folder, dash), fx.data)
    r = ctx.vok("-f", "--", dash, cwd=folder)
    if r.code != 0 or read(os.path.join(folder, dash)) != want:
        problems.append(f"a file named {dash} after --: {r}")
    return problems


def backup_chain_case(ctx):
    """An existing backup is never overwritten: the next free .bak.N is used."""
    fx = damaged_av(ctx)
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    older = b"an older backup\n"
    put(path + ".bak", older)
    problems = []
    for n in (2, 3):
        put(path, fx.data)
        r = ctx.vok("-f", NAME, cwd=folder)
        bak = f"{path}.bak.{n}"
        if r.code != 0:
            problems.append(f"run {n - 1}: want exit 0: {r}")
        elif not os.path.exists(bak) or read(bak) != fx.data:
            problems.append(f"run {n - 1}: want {NAME}.bak.{n} holding the original; folder {listing(folder)}")
    if read(path + ".bak") != older:
        problems.append(f"{NAME}.bak was overwritten")
    return problems + leftovers(folder, [NAME, NAME + ".bak", NAME + ".bak.2", NAME + ".bak.3"])


def permission_case(ctx):
    fx = damaged_av(ctx)
    problems = []
    for mode in (0o640, 0o604, 0o755):
        folder = ctx.folder()
        path = os.path.join(folder, NAME)
        put(path, fx.data, mode)
        r = ctx.vok("-f", NAME, cwd=folder)
        got = os.stat(path).st_mode & 0o7777
        if r.code != 0 or got != mode or read(path) == fx.data:
            problems.append(f"mode {mode:o}: exit {r.code}, repaired file mode {got:o}")
    return problems


def read_only_case(ctx):
    problems = []
    cases = [("-f", damaged_av(ctx).data), ("-f --no-backup", damaged_av(ctx).data)]
    if ctx.index:
        cases.append(("-i", ctx.clean["av_rv20_ac3"]))
    for args, data in cases:
        folder = ctx.folder()
        path = os.path.join(folder, NAME)
        put(path, data, 0o444)
        before = state(path)
        r = ctx.vok(*args.split(), NAME, cwd=folder)
        problems += [f"{args} on a 444 file: {p}" for p in error_problems(r, 5, NAME) + untouched(before, path)
                     + leftovers(folder, [NAME])]
    return problems


def in_use_case(ctx):
    """Another program holding the file open: nothing may change under it.
    Linux tells only through file leases; where the file system has none,
    the tool cannot know."""
    probe = os.path.join(ctx.folder(), "probe")
    put(probe, b"x", 0o644)
    with open(probe, "rb") as f:
        try:
            fcntl.fcntl(f, fcntl.F_SETLEASE, fcntl.F_WRLCK)
            fcntl.fcntl(f, fcntl.F_SETLEASE, fcntl.F_UNLCK)
        except OSError:
            raise Skip("no file leases here")
    problems = []
    cases = [("-f", damaged_av(ctx).data)] + ([("-i", ctx.clean["av_rv20_ac3"])] if ctx.index else [])
    for args, data in cases:
        folder = ctx.folder()
        path = os.path.join(folder, NAME)
        put(path, data, 0o644)
        before = state(path)
        with open(path, "rb"):
            r = ctx.vok(args, NAME, cwd=folder)
        problems += [f"{args} on a file held open: {p}" for p in error_problems(r, 5, NAME) + untouched(before, path)
                     + leftovers(folder, [NAME])]
    return problems


def no_room_case(ctx):
    folder = ctx.folder()
    mnt = os.path.join(folder, "small")
    os.mkdir(mnt)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=600k", "tmpfs", mnt], capture_output=True).returncode:
        raise Skip("cannot mount a tmpfs here")
    try:
        fx = next(f for f in ctx.damaged if f.name == "a_ac3/random40")
        path = os.path.join(mnt, NAME)
        put(path, fx.data)
        st = os.statvfs(mnt)
        with open(os.path.join(mnt, "filler"), "wb") as f:
            f.write(bytes(max(0, st.f_bavail * st.f_frsize - 64 * 1024)))
        before = state(path)
        problems = []
        for args in (["-f"], ["-f", "--no-backup"]):
            r = ctx.vok(*args, NAME, cwd=mnt)
            problems += [f"{' '.join(args)} with 64 KiB free: {p}" for p in error_problems(r, 5, NAME)
                         + untouched(before, path) + leftovers(mnt, [NAME, "filler"])]
        return problems
    finally:
        subprocess.run(["umount", mnt], check=True)


# --- refusals and bad input -----------------------------------------------------

def rejected_case(ctx, name, data, args, code):
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    if data is None:                  # a folder where the file should be
        os.mkdir(path)
        before = None
    else:
        put(path, data)
        before = state(path)
    r = ctx.vok(*args, NAME, cwd=folder)
    problems = error_problems(r, code, NAME)
    if before:
        problems += untouched(before, path)
    return problems + leftovers(folder, [NAME])


def missing_case(ctx):
    folder = ctx.folder()
    problems = []
    for args in (["--check"], ["-f"]) + ((["-i"],) if ctx.index else ()):
        r = ctx.vok(*args, "absent.rm", cwd=folder)
        problems += [f"{args[0]}: {p}" for p in error_problems(r, 3, "absent.rm") + leftovers(folder, [])]
    return problems


def usage_case(ctx):
    folder = ctx.folder()
    path = os.path.join(folder, NAME)
    put(path, damaged_av(ctx).data)
    before = state(path)
    problems = []
    for args in ([], ["--bogus", NAME], ["-f", "-i", NAME], ["-f", "--check", NAME], ["--check", "-i", NAME],
                 ["-f"], ["-x", NAME]):
        r = ctx.vok(*args, cwd=folder)
        if r.code != 2 or not r.err.strip():
            problems.append(f"want exit 2 and a message on stderr: {r}")
    r = ctx.vok("--help", cwd=folder)
    if r.code != 0 or not r.out.strip():
        problems.append(f"--help: want exit 0 and text on stdout: {r}")
    return problems + untouched(before, path) + leftovers(folder, [NAME])


def index_refused_case(ctx):
    """-i on a file that needs -f first is refused."""
    problems = []
    for name in ("av_rv20_ac3/random40", "av_rv20_ac3/truncate"):
        fx = next(f for f in ctx.damaged if f.name == name)
        problems += [f"{name}: {p}" for p in rejected_case(ctx, name, fx.data, ["-i"], 4)]
    return problems


# --- runner -------------------------------------------------------------------

def cases(ctx):
    for kind in fixtures.KINDS:
        yield f"fresh/{kind}", fresh_case, kind
    for fx in ctx.damaged:
        yield f"repair/{fx.name}", repair_case, fx
    for fx in fixtures.recoverable(ctx.clean["av_rv20_ac3"]):
        yield fx.name, recover_case, fx
    for n, beside in ((4096, False), (65536, True)):
        fx = fixtures.head_lost(ctx.clean["av_rv20_ac3"], n)
        yield fx.name, head_lost_case, fx, beside
    yield "recover/reference_of_other_streams", misfit_case
    yield "recover/two_files_of_one_making", joined_case
    yield "recover/two_different_files", second_file_case
    names = real_files()
    if not names:
        print(f"SKIP real/*: no files from real producers in {REALDATA}")
    for name in names:
        yield f"real/{name}", real_case, name
    yield "safety/option_orders", option_order_case
    yield "safety/backup_chain", backup_chain_case
    yield "safety/permissions", permission_case
    yield "safety/read_only", read_only_case
    yield "safety/no_room", no_room_case
    yield "safety/in_use", in_use_case
    for name, data in fixtures.refused(ctx.clean).items():
        yield f"refused/{name}", rejected_case, name, data, ["-f"], 4
    yield "bad/missing", missing_case
    bad = dict(fixtures.unreadable(ctx.clean), folder=None)
    modes = [["--check"], ["-f"]] + ([["-i"]] if ctx.index else [])
    for name, data in bad.items():
        for mode in modes:
            yield f"bad/{name} {mode[0]}", rejected_case, name, data, mode, 3
    yield "usage", usage_case
    if ctx.index:
        yield "index/refused_before_f", index_refused_case


def print_table(rows):
    print("\n| case | packets in original | expected survivors | kept | dropped | result |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(str(x) for x in row) + " |")


def selftest(ctx):
    """Without the tool: clean files pass every check, each damaged copy fails one."""
    failures = 0
    for kind, data in ctx.clean.items():
        v = judge(ctx.scratch, data, fixtures.Fixture(kind, data, data, [], False))
        failures += report(f"selftest/clean {kind}", v.problems)
    for fx in ctx.damaged:
        v = judge(ctx.scratch, fx.data, fx)
        ok = bool(v.problems) == bool(fx.needs_repair)
        failures += report(f"selftest/{fx.name} unrepaired ({len(v.problems)} problems, "
                           f"{v.expected}/{v.original} must survive)", [] if ok else v.problems or ["no problem found"])
    av = ctx.clean["av_rv20_ac3"]
    for name, data in (("indexed", fixtures.with_index(av)), ("a_indexed", fixtures.with_index(ctx.clean["a_ac3"]))):
        v = judge(ctx.scratch, data, fixtures.Fixture(name, data, data, [], False), seeks=True)
        failures += report(f"selftest/{name}", v.problems)
        for n in v.notes:
            print(f"    note: {n}")
    # The index and seek checks must catch an index that points 10 entries back
    # on their own, without the walker.
    path = ctx.scratch.write(fixtures.with_index(av, 10), "lying.rm")
    m = rmwalk.walk_file(path)
    packets = oracle.probe_packets(path)
    caught = {"walker": m.problems, "INDX check": oracle.index_problems(packets, m),
              "seek check": oracle.seek_problems(path, packets, m, oracle.seek_times(packets, m))[0]}
    failures += report("selftest/lying_index caught by " + ", ".join(k for k, v in caught.items() if v),
                       [f"{k} found nothing" for k, v in caught.items() if not v])
    return failures


def report(name, problems, seconds=None):
    took = f" ({seconds:.1f} s)" if seconds is not None else ""
    print(f"{'FAIL' if problems else 'PASS'} {name}{took}")
    for p in problems:
        print(f"    {p}")
    sys.stdout.flush()
    return 1 if problems else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vok", help="the tool under test")
    ap.add_argument("--index", action="store_true", help="also test the index pass -i")
    ap.add_argument("--only", help="run only the cases whose name contains this")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--selftest", action="store_true", help="prove the checks on the fixtures; needs no tool")
    a = ap.parse_args()
    if not a.selftest and not a.vok:
        ap.error("--vok PATH or --selftest")
    with work_folder("vok-it-", a.keep) as work:
        ctx = Context(work, Vok(a.vok) if a.vok else None, a.index)
        src = os.path.join(work, "src")
        os.makedirs(src)
        ctx.clean = fixtures.make_clean(src)
        fixtures.ffmpeg_unfinalized(os.path.join(src, "unfinalized.rm"))
        ctx.damaged = fixtures.damaged(ctx.clean, read(os.path.join(src, "unfinalized.rm")))
        if a.selftest:
            failures = selftest(ctx)
        else:
            failures = 0
            for name, fn, *args in cases(ctx):
                if a.only and a.only not in name:
                    continue
                t0 = time.monotonic()
                try:
                    problems = fn(ctx, *args)
                except Skip as e:
                    print(f"SKIP {name}: {e}")
                    continue
                failures += report(name, problems, time.monotonic() - t0)
            for n in ctx.notes:
                print(f"note: {n}")
            if ctx.rows:
                print_table(ctx.rows)
            if ctx.recovered:
                print("\n| damage | what vok said |\n|---|---|")
                for name, said in ctx.recovered:
                    print(f"| {name} | {said} |")
        return verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
