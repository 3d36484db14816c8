"""Runs the tool under test and records what it did to a folder."""
import contextlib
import os
import re
import shutil
import subprocess
import tempfile
from dataclasses import dataclass

OLD_MTIME_NS = 1_000_000_000 * 10**9   # set before a run, so any rewrite shows
TIMEOUT = 120


@dataclass
class Result:
    args: list
    code: int
    out: str
    err: str

    def __str__(self):
        return f"`vok {' '.join(self.args)}` exit {self.code}, stdout {self.out.strip()!r}, stderr {self.err.strip()!r}"

    def out_lines(self):
        return self.out.splitlines()

    def counts(self):
        """(kept, dropped) from the summary line, or None."""
        found = re.search(r"packets kept (\d+), dropped (\d+)", self.out)
        return (int(found.group(1)), int(found.group(2))) if found else None


class Vok:
    def __init__(self, path):
        self.path = os.path.abspath(path)

    def __call__(self, *args, cwd):
        try:
            r = subprocess.run([self.path, *args], cwd=cwd, capture_output=True, text=True, errors="replace",
                               timeout=TIMEOUT, stdin=subprocess.DEVNULL)
            return Result(list(args), r.returncode, r.stdout, r.stderr)
        except subprocess.TimeoutExpired:
            return Result(list(args), -1, "", f"timed out after {TIMEOUT} s")


@dataclass(frozen=True)
class FileState:
    data: bytes
    mtime_ns: int
    inode: int
    mode: int


def put(path, data, mode=0o644):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)
    os.utime(path, ns=(OLD_MTIME_NS, OLD_MTIME_NS))


def state(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return FileState(f.read(), st.st_mtime_ns, st.st_ino, st.st_mode & 0o7777)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def untouched(before, path):
    """Problems if the file at path is not exactly as it was."""
    if not os.path.exists(path):
        return [f"{os.path.basename(path)} is gone"]
    after = state(path)
    problems = []
    if after.data != before.data:
        problems.append(f"{os.path.basename(path)} changed: {len(before.data)} -> {len(after.data)} bytes, "
                        f"first difference at offset {first_difference(before.data, after.data)}")
    if after.mtime_ns != before.mtime_ns or after.inode != before.inode:
        problems.append(f"{os.path.basename(path)} was rewritten (mtime or inode changed)")
    if after.mode != before.mode:
        problems.append(f"{os.path.basename(path)} mode {before.mode:o} -> {after.mode:o}")
    return problems


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def listing(folder):
    return sorted(os.listdir(folder))


@contextlib.contextmanager
def work_folder(prefix, keep):
    """A scratch folder for one run; --keep leaves it for a look afterwards."""
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        yield work
    finally:
        if keep:
            print(f"work folder kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


def verdict(failures):
    print(f"\n{failures} failed")
    return 1 if failures else 0
