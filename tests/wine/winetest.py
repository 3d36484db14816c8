"""Support library for the end-to-end tests of vokxp.exe under Wine.

Standard library only. It drives a throwaway Wine prefix and the helper
programs built from tests/wine/helpers (runner.exe, regread.exe, recvok.exe,
shellverb.exe; 64-bit, whichever build of vokxp.exe is under test), and has a
tiny test framework: @case, check_eq, main.

Every byte string crosses the Wine boundary as hex, so GBK bytes and quotes
arrive untouched. Output of Wine processes is collected through files, never
pipes: Wine background processes inherit handles and would keep a pipe open.

    p = Prefix(helpers_dir)
    p.start()
    try:
        r = p.run(b'"C:\\\\app\\\\vokxp.exe" /x', cwd=b"C:\\\\app")
        check_eq(r.exit, 0, "exit code")
    finally:
        p.stop()
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

HELPERS = ("runner.exe", "regread.exe", "recvok.exe", "shellverb.exe", "rightclick.exe")
HELPER_DIR = "vokxp-test-helpers"  # under C:\ of the prefix
ENCODING = "gbk"  # the ANSI code page (936) the programs run with


class HelperError(RuntimeError):
    """A helper could not do its job (misuse, unexpected report, Wine failure)."""


def _hex(data):
    return data.hex() if data else "-"


def _unhex(field):
    return b"" if field == "-" else bytes.fromhex(field)


def _find_wine64():
    """The 64-bit loader. Debian's `wine` script always starts the 32-bit
    loader first, which costs a slow emulated start per call; the helpers are
    64-bit, and a 64-bit loader starts 32-bit programs on its own. Found as
    $WINE64, `wine64` on PATH, or the wine64= line of the `wine` script."""
    cand = os.environ.get("WINE64") or shutil.which("wine64")
    if cand:
        return cand
    wine = shutil.which("wine")
    if not wine:
        raise HelperError("no wine64 or wine found")
    try:
        with open(wine, "rb") as f:
            head = f.read(65536)
    except OSError:
        return wine
    if head.startswith(b"#!"):
        for line in head.decode("utf-8", "replace").splitlines():
            line = line.strip()
            if line.startswith("wine64="):
                path = line.split("=", 1)[1].strip().strip("'\"")
                if os.path.isfile(path) and os.access(path, os.X_OK):
                    return path
    return wine


def pe_bits(path):
    """32 or 64: the bitness of the PE executable at a Unix path."""
    with open(path, "rb") as f:
        head = f.read(4096)
    off = int.from_bytes(head[0x3C:0x40], "little")
    if head[:2] != b"MZ" or head[off:off + 4] != b"PE\0\0":
        raise ValueError("not a PE executable: %s" % path)
    machine = int.from_bytes(head[off + 4:off + 6], "little")
    if machine not in (0x14C, 0x8664):
        raise ValueError("unexpected PE machine %#x: %s" % (machine, path))
    return 32 if machine == 0x14C else 64


class Result:
    """What runner.exe saw of one run of a program."""

    def __init__(self, raw):
        self.raw = raw                # report lines, as written
        self.boxes = []               # [(caption bytes, text bytes)] of the target
        self.child_boxes = []         # the same for other processes it started
        self.exit = None              # exit code, None if it never ended
        self.timed_out = False        # killed at the deadline
        self.swapped = None           # ms until swap= replaced the file
        self.start_error = None       # GetLastError() of a failed CreateProcessA
        self.children = None          # "done", "timeout", "unknown" or None (not waited)
        self.left = []                # [(pid, image path)] killed at the deadline
        for line in raw:
            word, *rest = line.split(" ")
            if word in ("box", "child-box") and len(rest) == 2:
                box = (_unhex(rest[0]), _unhex(rest[1]))
                (self.boxes if word == "box" else self.child_boxes).append(box)
            elif word == "exit" and len(rest) == 1:
                self.exit = int(rest[0])
            elif word == "timeout":
                self.timed_out = True
            elif word == "start-failed":
                self.start_error = int(rest[0])
            elif word == "children-done":
                self.children = "done"
            elif word == "children-timeout":
                self.children = "timeout"
            elif word == "children-unknown":
                self.children = "unknown"
            elif word == "left" and len(rest) == 2:
                self.left.append((int(rest[0]), _unhex(rest[1])))
            else:
                raise HelperError("runner reported: %s" % line)

    def __repr__(self):
        return "Result(exit=%r, boxes=%r, raw=%r)" % (self.exit, self.boxes, self.raw)


class RightClick:
    """What rightclick.exe saw of a console: its final text, when the
    prompt showed, whether the program was still waiting for a key then."""

    def __init__(self, raw):
        self.raw = raw                # report lines, as written
        self.exit = None              # exit code of the started process, None if killed
        self.screen = None            # final console text (str), None if never reached
        self.prompt = None            # ms until the prompt showed, None if it never did
        self.prompt_screen = None     # the console text at that moment
        self.waiting = None           # True/False: still running press_after later
        self.pressed = False          # a key was pressed
        self.done = None              # --terminal: ms until the command line finished
        self.timed_out = False        # killed at the deadline
        self.swapped = None           # ms until swap= replaced the file
        self.error = None             # (report word, GetLastError()) when it could not start
        prev = None
        for line in raw:
            word, *rest = line.split(" ")
            if word == "screen" and len(rest) == 1:
                screen = _unhex(rest[0]).decode("utf-8")
                if prev == "prompt":
                    self.prompt_screen = screen
                else:
                    self.screen = screen
            elif word in ("prompt", "done", "exit") and len(rest) == 1:
                setattr(self, word, int(rest[0]))
            elif word in ("waiting", "ended") and not rest:
                self.waiting = word == "waiting"
            elif word == "pressed" and not rest:
                self.pressed = True
            elif word == "swapped" and len(rest) == 1:
                self.swapped = int(rest[0])
            elif word == "swap-failed" and len(rest) == 1:
                self.error = (word, int(rest[0]))
            elif word == "timeout" and not rest:
                self.timed_out = True
            elif word in ("shell-failed", "start-failed", "attach-failed") and len(rest) == 1:
                self.error = (word, int(rest[0]))
            elif word == "noprocess" and not rest:
                self.error = (word, None)
            else:
                raise HelperError("rightclick reported: %s" % line)
            prev = word

    def __repr__(self):
        return "RightClick(exit=%r, prompt=%r, waiting=%r, screen=%r)" % (self.exit, self.prompt, self.waiting,
                                                                          self.screen)


class Prefix:
    """A temporary Wine prefix with the helpers installed in C:\\vokxp-test-helpers."""

    def __init__(self, helpers_dir, reg_view=None):
        self.helpers_dir = os.path.abspath(helpers_dir)
        # Registry view for reg()/reg_delete_tree(): None (the helpers' own,
        # 64-bit view), 32 or 64. Keep None for keys that 32-bit and 64-bit
        # programs share (file extensions, their types and verbs): under Wine
        # a 32-bit program's writes there show in the 64-bit view, and an
        # explicit 32-bit view reports them missing.
        self.reg_view = reg_view
        self.root = None
        self.prefix = None
        self.drive_c = None
        self.wine = _find_wine64()
        self.wineserver = os.environ.get("WINESERVER") or shutil.which("wineserver") or "wineserver"
        self.timings = {}
        self.wrap = []  # a command every Wine call runs under, see restart_server
        self._count = 0

    # -- life cycle --------------------------------------------------------

    def start(self):
        self.root = tempfile.mkdtemp(prefix="vokxp-wine-")
        self.prefix = os.path.join(self.root, "prefix")
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.logs = os.path.join(self.root, "logs")
        home = os.path.join(self.root, "home")
        tmp = os.path.join(self.root, "tmp")
        for d in (self.logs, home, tmp):
            os.makedirs(d)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "XDG_")) and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "LC_ALL": "zh_CN.UTF-8",
            # No Mono/Gecko install prompts; no desktop or MIME entries
            # exported for the associations the tests register.
            "WINEDLLOVERRIDES": "winemenubuilder.exe=d;mscoree=d;mshtml=d",
            # Nothing of the prefix may reach the real home directory, and
            # the wineserver's socket folder goes away with the prefix.
            "HOME": home,
            "TMPDIR": tmp,
        })
        self.env = env
        t0 = time.monotonic()
        self._call([self.wine, "wineboot", "-i"], "wineboot", timeout=900)
        self._call([self.wineserver, "-w"], "wineserver-wait", timeout=300)
        self.timings["wineboot"] = time.monotonic() - t0
        self._call([self.wine, "reg", "add", r"HKCU\Software\Wine\Drivers",
                    "/v", "Graphics", "/d", "null", "/f"], "reg-graphics", timeout=300)
        self._call([self.wineserver, "-k"], "wineserver-kill", timeout=120, check=False)
        self._call([self.wineserver, "-w"], "wineserver-wait", timeout=120, check=False)
        self._call([self.wineserver, "-p"], "wineserver-persist", timeout=120)
        dest = os.path.join(self.drive_c, HELPER_DIR)
        os.makedirs(os.path.join(dest, "out"), exist_ok=True)
        for name in HELPERS:
            src = os.path.join(self.helpers_dir, name)
            if not os.path.isfile(src):
                raise HelperError("helper not built: %s" % src)
            shutil.copy(src, dest)
        self.timings["start"] = time.monotonic() - t0
        return self

    def stop(self):
        if not self.root:
            return
        try:
            self._call([self.wineserver, "-k"], "wineserver-kill", timeout=120, check=False)
            self._call([self.wineserver, "-w"], "wineserver-wait", timeout=120, check=False)
        finally:
            for _ in range(10):
                shutil.rmtree(self.root, ignore_errors=True)
                if not os.path.exists(self.root):
                    break
                time.sleep(0.5)
            self.root = None

    def restart_server(self, wrap):
        """Restarts this prefix's wineserver with every Wine call from now on
        run under the command wrap (for instance setpriv with fewer
        capabilities): the server opens the files, so it must be restarted
        for such a change to reach them."""
        self._call([self.wineserver, "-k"], "wineserver-kill", timeout=120, check=False)
        self._call([self.wineserver, "-w"], "wineserver-wait", timeout=120, check=False)
        self.wrap = list(wrap)
        self._call([self.wineserver, "-p"], "wineserver-persist", timeout=120)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- plumbing ----------------------------------------------------------

    def _call(self, argv, log, timeout, check=True):
        """Runs a Unix command with the prefix's environment, its output to a
        log file, and returns its exit status."""
        self._count += 1
        path = os.path.join(self.logs, "%03d-%s.log" % (self._count, log))
        with open(path, "wb") as out:
            try:
                # Programs started from drive_c get C:\ as current directory.
                cwd = self.drive_c if os.path.isdir(self.drive_c) else self.root
                rc = subprocess.call(self.wrap + argv, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                     stdout=out, stderr=out, timeout=timeout)
            except subprocess.TimeoutExpired:
                raise HelperError("%s did not finish in %s s" % (argv[:2], timeout))
        if check and rc != 0:
            with open(path, "rb") as f:
                tail = f.read()[-2000:].decode("utf-8", "replace")
            raise HelperError("%s exited %d: %s" % (" ".join(argv[:3]), rc, tail))
        return rc

    def _helper(self, name, args, timeout):
        """Runs a helper; returns (exit status, report lines)."""
        self._count += 1
        out_name = "%s-%d.txt" % (name.split(".")[0], self._count)
        out_unix = os.path.join(self.drive_c, HELPER_DIR, "out", out_name)
        out_win = "C:\\%s\\out\\%s" % (HELPER_DIR, out_name)
        exe = os.path.join(self.drive_c, HELPER_DIR, name)
        rc = self._call([self.wine, exe, "--out", out_win] + list(args), name, timeout, check=False)
        try:
            with open(out_unix, "rb") as f:
                lines = f.read().decode("ascii").splitlines()
        except FileNotFoundError:
            raise HelperError("%s wrote no report (exit %d)" % (name, rc))
        if rc == 2 or any(line.startswith("usage-error") for line in lines):
            raise HelperError("%s: %s" % (name, "; ".join(lines)))
        return rc, lines

    # -- paths -------------------------------------------------------------

    def unix_path(self, win):
        """Unix path of a Windows path (GBK bytes) on C: or Z: of this prefix."""
        if isinstance(win, bytes):
            win = win.decode(ENCODING)
        drive, rest = win[:2].upper(), win[2:].replace("\\", "/").lstrip("/")
        if drive == "C:":
            return os.path.join(self.drive_c, rest)
        if drive == "Z:":
            return "/" + rest
        raise ValueError("not a C: or Z: path: %r" % win)

    def win_path(self, unix):
        """Windows path (GBK bytes) of a Unix path: C:\\... inside drive_c, else Z:\\..."""
        unix = os.path.abspath(os.fspath(unix))
        base = os.path.abspath(self.drive_c)
        if unix == base or unix.startswith(base + os.sep):
            rel = os.path.relpath(unix, base)
            win = "C:\\" + ("" if rel == "." else rel.replace("/", "\\"))
        else:
            win = "Z:" + unix.replace("/", "\\")
        return win.encode(ENCODING)

    @property
    def helpers_win(self):
        """Windows path (bytes) of the folder holding the helpers."""
        return ("C:\\" + HELPER_DIR).encode("ascii")

    # -- the helpers -------------------------------------------------------

    def run(self, cmdline, cwd=None, hold=None, timeout=120, wait_children=True):
        """Starts the exact command line (bytes) and records its message
        boxes (pressing OK on each) and exit code. hold: a file (Windows path
        bytes) kept open with read sharing while it runs. wait_children: also
        wait for processes it started (a batch file) up to the timeout.
        timeout (seconds) counts from the start; under emulation each start
        of a 32-bit process (the program, a cmd.exe it runs) costs ~50 s."""
        args = ["--timeout", str(int(timeout * 1000))]
        if cwd is not None:
            args += ["--cwd", _hex(cwd)]
        if hold is not None:
            args += ["--hold", _hex(hold)]
        if not wait_children:
            args.append("--no-wait-children")
        args.append(_hex(cmdline))
        rc, lines = self._helper("runner.exe", args, timeout + 120)
        if rc != 0:
            raise HelperError("runner: %s" % "; ".join(lines))
        return Result(lines)

    def _view_args(self, view):
        view = self.reg_view if view is None else view
        return [] if view is None else ["--view", str(view)]

    def reg(self, *keys, view=None):
        """Default values of HKEY_CLASSES_ROOT keys: {key: None if missing,
        else (type, data bytes as stored, number of subkeys)}; a key without
        default value gives (None, None, subkeys)."""
        if not keys:
            return {}
        rc, lines = self._helper("regread.exe", self._view_args(view) + [_hex(k) for k in keys], 120)
        result = {}
        for line in lines:
            f = line.split(" ")
            key = _unhex(f[1])
            if f[2] == "missing":
                result[key] = None
            elif f[2] == "nodefault":
                result[key] = (None, None, int(f[4]))
            elif f[2] == "type":
                result[key] = (int(f[3]), _unhex(f[5]), int(f[7]))
            else:
                raise HelperError("regread: %s" % line)
        if rc != 0 or set(result) != set(keys):
            raise HelperError("regread: %s" % "; ".join(lines))
        return result

    def reg_delete_tree(self, key, view=None):
        """Deletes an HKEY_CLASSES_ROOT key with all below it. True if it
        existed, False if it was missing."""
        rc, lines = self._helper("regread.exe", self._view_args(view) + ["--delete", _hex(key)], 120)
        if rc == 0 and lines == ["deleted " + _hex(key)]:
            return True
        if rc == 0 and lines == ["delete %s missing" % _hex(key)]:
            return False
        raise HelperError("regread --delete: %s" % "; ".join(lines))

    def reg_create(self, key, volatile=False, view=None):
        """Creates an HKEY_CLASSES_ROOT key with its missing parents;
        volatile=True makes it a volatile key."""
        flag = "--volatile" if volatile else "--create"
        rc, lines = self._helper("regread.exe", self._view_args(view) + [flag, _hex(key)], 120)
        if rc != 0 or lines != ["created " + _hex(key)]:
            raise HelperError("regread %s: %s" % (flag, "; ".join(lines)))

    def shell(self, verb, file, timeout=60):
        """Invokes a shell verb on a file; returns the report line:
        "exit N", "noprocess", "timeout" or "shell-failed ERR"."""
        rc, lines = self._helper("shellverb.exe", ["--timeout", str(int(timeout * 1000)), _hex(verb), _hex(file)],
                                 timeout + 120)
        if rc != 0 or len(lines) != 1:
            raise HelperError("shellverb: %s" % "; ".join(lines))
        return lines[0]

    def shell_console(self, verb, file, timeout=60):
        """Like shell(), but the started process shares a console with the
        helper instead of getting one of its own, and what it and the
        programs it runs write to standard output and error is kept.
        Returns (report line, that output as bytes)."""
        self._count += 1
        name = "console-%d.txt" % self._count
        win = ("C:\\%s\\out\\%s" % (HELPER_DIR, name)).encode("ascii")
        rc, lines = self._helper("shellverb.exe", ["--timeout", str(int(timeout * 1000)), "--console", _hex(win),
                                                   _hex(verb), _hex(file)], timeout + 120)
        if rc != 0 or len(lines) != 1:
            raise HelperError("shellverb: %s" % "; ".join(lines))
        try:
            with open(self.unix_path(win), "rb") as f:
                output = f.read()
        except FileNotFoundError:
            output = b""
        return lines[0], output

    def rightclick(self, verb=None, file=None, prompt=None, press_after=1.5, hold=None, terminal=None, shell=None,
                   swap=None, timeout=60):
        """Picks a context-menu verb on a file (str, or GBK bytes) as
        Explorer does and watches the console the shell opens: once prompt
        (str) is on screen, waits press_after seconds, notes whether the
        process still runs and if so presses a key. hold: a file kept open
        for reading meanwhile. Or, with terminal= a command line instead of
        verb and file, types it into an interactive cmd.exe and waits for it
        to finish there without pressing anything; shell: the cmd.exe to
        use. swap=(watch, new): once watch exists, new replaces file.
        Returns a RightClick."""
        def text(v):
            return (v.decode(ENCODING) if isinstance(v, bytes) else v).encode("utf-8")
        args = ["--timeout", str(int(timeout * 1000))]
        if prompt is not None:
            args += ["--prompt", _hex(text(prompt))]
        if terminal is not None:
            if verb is not None or file is not None or hold is not None:
                raise ValueError("terminal= goes without verb, file and hold")
            if shell is not None:
                args += ["--shell", _hex(text(shell))]
            args += ["--terminal", _hex(text(terminal))]
        else:
            args += ["--press-after", str(int(press_after * 1000))]
            if hold is not None:
                args += ["--hold", _hex(text(hold))]
            if swap is not None:
                args += ["--swap", _hex(text(swap[0])), _hex(text(swap[1]))]
            args += [_hex(text(verb)), _hex(text(file))]
        rc, lines = self._helper("rightclick.exe", args, timeout + 120)
        if rc != 0:
            raise HelperError("rightclick: %s" % "; ".join(lines))
        return RightClick(lines)

    def install_recvok(self, dir_unix, name="vok.exe"):
        """Copies the vok.exe stand-in into a folder; returns its Unix path."""
        dest = os.path.join(dir_unix, name)
        shutil.copy(os.path.join(self.drive_c, HELPER_DIR, "recvok.exe"), dest)
        return dest

    def vok_log(self, dir_unix):
        return vok_log(dir_unix)


def vok_log(dir_unix):
    """Command lines (bytes) recorded by the vok.exe stand-in in a folder,
    oldest first; [] if it never ran."""
    try:
        with open(os.path.join(dir_unix, "vok.log"), "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    return [bytes.fromhex(line.decode("ascii")) for line in data.split(b"\r\n") if line]


# -- a tiny test framework -------------------------------------------------

_CASES = []


def case(name):
    """Registers the decorated function as a test case called name."""
    def register(fn):
        _CASES.append((name, fn))
        return fn
    return register


def show(value):
    """repr of a value, plus its hex when it is (or holds) bytes."""
    def hexed(v):
        if isinstance(v, (bytes, bytearray)):
            return "hex:" + (bytes(v).hex() or "-")
        if isinstance(v, (list, tuple)):
            inner = ", ".join(hexed(x) for x in v)
            return "[%s]" % inner if isinstance(v, list) else "(%s)" % inner
        if isinstance(v, dict):
            return "{%s}" % ", ".join("%s: %s" % (hexed(k), hexed(x)) for k, x in v.items())
        return repr(v)
    text = repr(value)
    h = hexed(value)
    return text if h == text else "%s = %s" % (h, text)


def check_eq(got, want, what="value"):
    if got != want:
        raise AssertionError("%s: expected %s, got %s" % (what, show(want), show(got)))


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def main(names=None, exit=True):
    """Runs the registered cases in order (only those whose name contains
    one of names, if given), prints PASS/FAIL lines and a closing
    "N passed, N failed" line. Exits with status 1 if any failed, else 0
    (returns that status instead when exit is False)."""
    passed = failed = 0
    for name, fn in _CASES:
        if names and not any(n in name for n in names):
            continue
        try:
            fn()
        except AssertionError as e:
            failed += 1
            print("FAIL %s: %s" % (name, e), flush=True)
        except Exception as e:  # a broken case is a failed case
            failed += 1
            print("FAIL %s: %s: %s" % (name, type(e).__name__, e), flush=True)
            traceback.print_exc(file=sys.stdout)
        else:
            passed += 1
            print("PASS %s" % name, flush=True)
    print("%d passed, %d failed" % (passed, failed), flush=True)
    status = 1 if failed else 0
    if exit:
        sys.exit(status)
    return status
