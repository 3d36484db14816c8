#!/usr/bin/env python3
"""End-to-end tests of the real vokxp.exe under Wine.

The program runs in a throwaway prefix, started with exact command lines;
the tests read back what it left: message boxes, exit codes, registry
values and files, all as bytes. A stand-in for the repair tool records the
command lines it is started with, so the shell verb, a drop on the program
and the batch files can be followed to the end. One case installs the real
vok.exe of the same build instead and has it repair a damaged file through
the verb.

    e2e.py --exe build/windows/vokxp.exe --helpers build/win64/tests/wine/helpers
           [--vok build/windows/vok/vok.exe] [NAME...]
"""
import argparse
import os
import shutil
import stat
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rmrepair  # noqa: E402
from winetest import Prefix, case, check, check_eq, main, pe_bits  # noqa: E402

GBK = "gbk"
VERB = b"RM" + bytes.fromhex("CEC4BCFED0DEB8B4")  # RM文件修复
VERB_KEY = b"RealPlayer.RM.6\\shell\\" + VERB
COMMAND_KEY = VERB_KEY + b"\\command"
REMOVAL_SCRIPT = "删除RM文件右键菜单.bat".encode(GBK)
COMPLETION = ("设置完成 VOK伴侣1.3 作者:vokxp\rhttp://www.example.org/vokxp/\r"
              "QQ:00000000  vokxp@example.org").encode(GBK)
REMOVAL = "注册表删除信息完成".encode(GBK)
REG_SZ = 1

TOOLS = b"C:\\My Tools\\"                 # a folder name with a space
GBK_TOOLS = "C:\\影音 修复\\".encode(GBK)  # and one with GBK characters
MOVIE = b"C:\\My Movies\\a b&c.rm"
GBK_MOVIE = "C:\\My Movies\\电影 修复.rm".encode(GBK)
RMVB_MOVIE = "C:\\My Movies\\第2集.rmvb".encode(GBK)  # no right-click entry: dropped

REPAIR_TOOLS = b"C:\\Repair Kit\\"  # vokxp.exe with the real vok.exe
GEN_BIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "vok", "bench", "gen_big.py")

P = None        # the prefix
EXE = None      # Unix path of the vokxp.exe under test
VOK = None      # Unix path of the real vok.exe of the same build
TIMEOUT = 120   # seconds for one run; a 32-bit one is far slower where emulated
SHELL = None    # the cmd.exe of vok.exe's bitness, for a terminal it can look into


def unix(win):
    return P.unix_path(win)


def install_program(folder):
    """Puts vokxp.exe and the recording vok.exe into a folder."""
    os.makedirs(unix(folder), exist_ok=True)
    shutil.copy(EXE, os.path.join(unix(folder), "vokxp.exe"))
    P.install_recvok(unix(folder))
    clear_log(folder)


def clear_log(folder):
    log = os.path.join(unix(folder), "vok.log")
    if os.path.exists(log):
        os.remove(log)


def vokxp(folder, args=b"", **kw):
    """Runs folder\\vokxp.exe with the exact arguments, from that folder."""
    return P.run(b'"' + folder + b'vokxp.exe"' + (b" " + args if args else b""), cwd=folder,
                 timeout=TIMEOUT, **kw)


def tool_args(folder):
    """What the repair tool stand-in received: each command line without
    the program token (quoted or not), in order."""
    out = []
    for line in P.vok_log(unix(folder)):
        if line.startswith(b'"'):
            rest = line[line.index(b'"', 1) + 1:]
        else:
            rest = line.split(b" ", 1)[1] if b" " in line else b""
        out.append(rest.lstrip(b" "))
    return out


def read(path_win):
    with open(unix(path_win), "rb") as f:
        return f.read()


def repair_script(folder):
    return b'@echo off\r\n"' + folder + b'vok" -f %1\r\n"' + folder + b'vok" -i %1'


def registered():
    r = P.reg(COMMAND_KEY, VERB_KEY, b".rm", b"RealPlayer.RM.6\\shell")
    return {k: (v[:2] if v else None) for k, v in r.items()}


def sample(path_win):
    os.makedirs(os.path.dirname(unix(path_win)), exist_ok=True)
    with open(unix(path_win), "wb") as f:
        f.write(b".RMF sample")


def clean_registry():
    P.reg_delete_tree(b"RealPlayer.RM.6")
    P.reg_delete_tree(b".rm")


def runtime_error(r):
    check_eq(len(r.boxes), 1, "one box")
    caption, text = r.boxes[0]
    check_eq(caption, b"Error", "caption")
    check_eq(len(text), 29, "text length")
    check_eq(text[:14] + text[17:21], b"Runtime error  at ", "text layout")
    check_eq(r.exit, int(text[14:17]), "exit code is the number shown")
    check(all(c in b"0123456789ABCDEF" for c in text[21:]), "upper-case hex address: %r" % text)
    return r.exit, text[21:].decode("ascii")


# -- install and removal ---------------------------------------------------

@case("install shows the completion message and registers the verb")
def _():
    clean_registry()
    install_program(TOOLS)
    r = vokxp(TOOLS)
    check_eq(r.boxes, [(b"", COMPLETION)], "message boxes")
    check_eq(r.exit, 0, "exit code")
    check_eq(registered(), {
        COMMAND_KEY: (REG_SZ, b'"C:\\My Tools\\vok-xp.bat" "%1"\0'),
        VERB_KEY: (None, None),
        b".rm": (REG_SZ, b"RealPlayer.RM.6\0"),
        b"RealPlayer.RM.6\\shell": (None, None),
    }, "registry")


@case("install writes both scripts byte for byte")
def _():
    check_eq(read(TOOLS + b"vok-xp.bat"), repair_script(TOOLS), "repair script")
    check_eq(len(read(TOOLS + b"vok-xp.bat")), 35 + 2 * len(TOOLS), "repair script size")
    check_eq(read(TOOLS + REMOVAL_SCRIPT), b"@call vokxp del", "removal script")


@case("the shell verb runs the repair tool twice on the clicked file")
def _():
    for movie in (MOVIE, GBK_MOVIE):
        sample(movie)
        clear_log(TOOLS)
        check_eq(P.shell(VERB, movie, timeout=TIMEOUT), "exit 0", "shell verb")
        check_eq(tool_args(TOOLS), [b'-f "' + movie + b'"', b'-i "' + movie + b'"'], "repair tool runs")


@case("a file dropped on the program reaches the repair tool")
def _():
    for movie in (MOVIE, GBK_MOVIE, RMVB_MOVIE):
        clear_log(TOOLS)
        r = vokxp(TOOLS, b'"' + movie + b'"')
        check_eq((r.boxes, r.exit), ([], 0), "boxes and exit code")
        check_eq(tool_args(TOOLS), [b'-f "' + movie + b'"', b'-i "' + movie + b'"'], "repair tool runs")


@case("DEL is a file to repair, not the removal word")
def _():
    clear_log(TOOLS)
    r = vokxp(TOOLS, b"DEL")
    check_eq((r.boxes, r.exit), ([], 0), "boxes and exit code")
    check_eq(tool_args(TOOLS), [b'-f "DEL"', b'-i "DEL"'], "repair tool runs")
    check(P.reg(COMMAND_KEY)[COMMAND_KEY] is not None, "the verb is still registered")


@case("reinstall from a folder with a GBK name takes over the verb")
def _():
    install_program(GBK_TOOLS)
    r = vokxp(GBK_TOOLS)
    check_eq((r.boxes, r.exit), ([(b"", COMPLETION)], 0), "boxes and exit code")
    check_eq(registered()[COMMAND_KEY], (REG_SZ, b'"' + GBK_TOOLS + b'vok-xp.bat" "%1"\0'), "command")
    check_eq(read(GBK_TOOLS + b"vok-xp.bat"), repair_script(GBK_TOOLS), "repair script")
    check_eq(read(GBK_TOOLS + REMOVAL_SCRIPT), b"@call vokxp del", "removal script")
    clear_log(TOOLS)
    check_eq(P.shell(VERB, MOVIE, timeout=TIMEOUT), "exit 0", "shell verb")
    check_eq(tool_args(GBK_TOOLS), [b'-f "' + MOVIE + b'"', b'-i "' + MOVIE + b'"'], "new tool runs")
    check_eq(tool_args(TOOLS), [], "old tool runs")


@case("the removal script removes the verb")
def _():
    r = P.run(b'cmd /c "' + REMOVAL_SCRIPT + b'"', cwd=GBK_TOOLS, timeout=TIMEOUT)
    check_eq(r.child_boxes, [(b"", REMOVAL)], "removal message")
    check_eq(r.exit, 0, "exit code")
    check_eq(registered(), {
        COMMAND_KEY: None,
        VERB_KEY: None,
        b".rm": (REG_SZ, b"RealPlayer.RM.6\0"),
        b"RealPlayer.RM.6\\shell": (None, None),
    }, "registry")
    clear_log(GBK_TOOLS)
    check(P.shell(VERB, MOVIE, timeout=TIMEOUT).startswith("shell-failed"), "the verb is gone from the shell")
    check_eq(tool_args(GBK_TOOLS), [], "repair tool runs")


@case("removal with quoted del, and the removal words without an install")
def _():
    vokxp(TOOLS)
    check(P.reg(VERB_KEY)[VERB_KEY] is not None, "installed")
    for args in (b'"del"', b"del", b'd"e"l', b"del x"):
        r = vokxp(TOOLS, args)
        check_eq((r.boxes, r.exit), ([(b"", REMOVAL)], 0), "%r: boxes and exit code" % args)
        check_eq(P.reg(VERB_KEY)[VERB_KEY], None, "%r: verb key" % args)


# -- the real repair tool --------------------------------------------------

PROMPT = "按任意键关闭"
DAMAGED_BYTES = None  # the damaged movie, made once


def damaged_bytes():
    global DAMAGED_BYTES
    if DAMAGED_BYTES is None:
        scratch = os.path.join(P.root, "damaged.rm")
        DAMAGED_BYTES = rmrepair.make_damaged(scratch)[1]
    return DAMAGED_BYTES


def put_movie(win, data):
    path = unix(win)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def check_repaired_here(path, damaged):
    for label, ok, detail in rmrepair.check_repaired(path, damaged):
        check(ok, "%s: %s" % (label, detail))
    name = os.path.basename(path)
    left = sorted(n for n in os.listdir(os.path.dirname(path)) if n.startswith(name))
    check_eq(left, [name, name + ".bak"], "files of that name left in the folder")


@case("the real vok.exe installs beside vokxp.exe")
def _():
    folder = unix(REPAIR_TOOLS)
    os.makedirs(folder)
    shutil.copy(EXE, os.path.join(folder, "vokxp.exe"))
    shutil.copy(VOK, os.path.join(folder, "vok.exe"))
    check_eq(vokxp(REPAIR_TOOLS).exit, 0, "install")


# Names the system code page cannot hold, or holds as another name: the
# yen sign would become the full-width yen, which names another file here.
UNICODE_MOVIES = ["C:\\Damaged Movies\\坏 文件.rm", "C:\\Damaged Movies\\한국어.rm", "C:\\Damaged Movies\\😀 emoji.rm",
                  "C:\\Damaged Movies\\Phở.rm", "C:\\Damaged Movies\\¥100.rm"]


@case("the right-click repairs a file of any name, shows the result in Chinese and waits for a key")
def _():
    damaged = damaged_bytes()
    fullwidth = put_movie("C:\\Damaged Movies\\￥100.rm", b"the full-width yen's own bytes")
    for movie in UNICODE_MOVIES:
        path = put_movie(movie, damaged)
        r = P.rightclick(VERB, movie, prompt=PROMPT, timeout=TIMEOUT)
        name = movie.rsplit("\\", 1)[1]
        check(r.prompt is not None and r.waiting and r.pressed, "%s: waited for a key: %r" % (name, r))
        check_eq(r.exit, 0, "%s: the batch ended with vok -i's code" % name)
        for text in ("%s 的修复结果：" % movie, "已修复：", "已建立索引：", "原文件已备份为 %s.bak" % movie, PROMPT):
            check(text in r.prompt_screen, "%s: %r on screen: %s" % (name, text, r.prompt_screen))
        check_repaired_here(path, damaged)
    with open(fullwidth, "rb") as f:
        check_eq(f.read(), b"the full-width yen's own bytes", "the full-width yen's file is untouched")


@case("a file a player holds open is left as it is, and said so once")
def _():
    movie = "C:\\Damaged Movies\\播放中.rm"
    path = put_movie(movie, damaged_bytes())
    r = P.rightclick(VERB, movie, prompt=PROMPT, hold=movie, timeout=TIMEOUT)
    check(r.prompt is not None and r.waiting, "waited for a key: %r" % r)
    check("文件正被其他程序" in r.prompt_screen, "says why: %s" % r.prompt_screen)
    check("需要先修复" not in (r.screen or ""), "-i adds no second reason: %s" % r.screen)
    with open(path, "rb") as f:
        check_eq(f.read(), damaged_bytes(), "the file")
    check_eq([n for n in os.listdir(os.path.dirname(path)) if n.startswith("播放中")], ["播放中.rm"], "left beside it")


@case("a file replaced while vok works is not overwritten")
def _():
    movie = "C:\\Damaged Movies\\big.rm"
    big = os.path.join(P.root, "big.rm")
    subprocess.run([sys.executable, GEN_BIG, big, "--size", "48M"], check=True, stdout=subprocess.DEVNULL)
    with open(big, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2:len(data) // 2 + 4096] = bytes(4096)
    path = put_movie(movie, bytes(data))
    newer = put_movie("C:\\Damaged Movies\\newer version.rm", b"the user's newer version")
    r = P.rightclick(VERB, movie, prompt=PROMPT, swap=(movie + ".vok-tmp", "C:\\Damaged Movies\\newer version.rm"),
                     timeout=TIMEOUT)
    check(r.swapped is not None, "the file was replaced during the run: %r" % (r.raw,))
    check("处理期间文件被改动了" in (r.prompt_screen or ""), "says so: %s" % r.prompt_screen)
    with open(path, "rb") as f:
        check_eq(f.read(), b"the user's newer version", "the newer version")
    check(not os.path.exists(newer), "the newer version took the file's place")
    check_eq([n for n in os.listdir(os.path.dirname(path)) if n.startswith("big.rm")], ["big.rm"], "left beside it")


@case("from a terminal or into a pipe vok never waits; a path of 300 characters works")
def _():
    deep = "C:\\Damaged Movies\\" + "\\".join(["a folder with a long name %02d" % i for i in range(10)])
    movie = deep + "\\movie.rm"
    check(len(movie) >= 300, "path length %d" % len(movie))
    damaged = damaged_bytes()
    path = put_movie(movie, damaged)
    script = (REPAIR_TOOLS + b"vok-xp.bat").decode(GBK)
    r = P.rightclick(terminal='"%s" "%s"' % (script, movie), shell=SHELL, prompt=PROMPT, timeout=TIMEOUT)
    check(r.done is not None and r.prompt is None, "ran to its end without a prompt: %r" % r)
    check_repaired_here(path, damaged)
    piped = put_movie("C:\\Damaged Movies\\piped.rm", damaged)
    out = b"C:\\Damaged Movies\\piped.txt"
    run = P.run(b'cmd /c ""' + REPAIR_TOOLS + b'vok-xp.bat" "C:\\Damaged Movies\\piped.rm" > "' + out + b'""',
                cwd=REPAIR_TOOLS, timeout=TIMEOUT)
    check_eq((run.exit, run.timed_out), (0, False), "ended by itself")
    with open(unix(out), "rb") as f:
        text = f.read().decode(GBK)
    check("已修复" in text and "已建立索引" in text and PROMPT not in text, "the console code page: %r" % text)
    check_repaired_here(piped, damaged)


@case("an .rmvb that lost its headers, dropped on the program, takes them from the episode beside it")
def _():
    episode2 = "C:\\Episodes\\第2集.rmvb"
    sound = rmrepair.make_sound(os.path.join(P.root, "sound.rm"))
    put_movie("C:\\Episodes\\第1集.rmvb", sound)
    packets = sound.index(b"DATA") + 18
    damaged = bytes(packets) + sound[packets:len(sound) * 80 // 100]
    path = put_movie(episode2, damaged)
    check(P.shell(VERB, episode2.encode(GBK), timeout=TIMEOUT).startswith("shell-failed"),
          "no right-click entry on .rmvb")
    # A drop starts the repair script (see above); piped, it shows what vok said.
    out = b"C:\\Episodes\\said.txt"
    run = P.run(b'cmd /c ""' + REPAIR_TOOLS + b'vok-xp.bat" "' + episode2.encode(GBK) + b'" > "' + out + b'""',
                cwd=REPAIR_TOOLS, timeout=TIMEOUT)
    check_eq((run.exit, run.timed_out), (0, False), "ended by itself: %r" % run.raw)
    with open(unix(out), "rb") as f:
        text = f.read().decode(GBK)
    check("使用 第1集.rmvb 的文件头" in text, "names the episode it took the headers from: %r" % text)
    check_repaired_here(path, damaged)
    with open(unix("C:\\Episodes\\第1集.rmvb"), "rb") as f:
        check_eq(f.read(), sound, "the episode beside it is only read")


# -- failures ------------------------------------------------------------

@case("a script whose emptying fails is still rewritten exactly")
def _():
    path = TOOLS + b"vok-xp.bat"
    with open(unix(path), "wb") as f:
        f.write(b"x" * 300 + b"\x0e old text \x1a" + b"y" * 40)
    r = vokxp(TOOLS, hold=path)
    check_eq((r.boxes, r.exit), ([(b"", COMPLETION)], 0), "boxes and exit code")
    check_eq(read(path), repair_script(TOOLS), "repair script")


@case("a failed launch ends with the run-time error")
def _():
    folder = b"C:\\No Script\\"
    install_program(folder)
    code, address = runtime_error(vokxp(folder, b"C:\\a.rm"))
    check_eq(code, 2, "exit code: the script is not there")
    # A link-time code address: inside the image at its preferred base, and
    # the same on the next run whatever base the loader picks.
    check(0x401000 <= int(address, 16) < 0x400000 + os.path.getsize(EXE), "address %r" % address)
    check_eq(runtime_error(vokxp(folder, b"C:\\a.rm"))[1], address, "address on a second run")


@case("registry failures end the program with the run-time error")
def _():
    folder = b"C:\\Registry Fails\\"
    install_program(folder)
    # Keys below a volatile key must be volatile: the verb cannot be created.
    clean_registry()
    P.reg_create(b"RealPlayer.RM.6", volatile=True)
    r = vokxp(folder)
    check_eq(runtime_error(r)[0], 1021 & 0xFF, "exit code: ERROR_CHILD_MUST_BE_VOLATILE's low 8 bits")
    check_eq(P.reg(b".rm")[b".rm"], None, "nothing after the failure: .rm")
    check(not os.path.exists(os.path.join(unix(folder), "vok-xp.bat")), "nothing after the failure: scripts")

    # A command key with a subkey of its own cannot be deleted.
    clean_registry()
    check_eq(vokxp(folder).exit, 0, "install")
    P.reg_create(COMMAND_KEY + b"\\extra")
    r = vokxp(folder, b"del")
    check_eq(runtime_error(r)[0], 5, "exit code: access denied")
    check(P.reg(VERB_KEY)[VERB_KEY] is not None, "the verb key stays when its command key could not go")
    clean_registry()


def without_root_override(fn):
    """Runs fn with Wine started without root's power to ignore file
    permissions, as an ordinary user's Wine would be."""
    P.restart_server(wrap=["setpriv", "--bounding-set=-dac_override,-dac_read_search"])
    try:
        return fn()
    finally:
        P.restart_server(wrap=[])


def refuses_writes(dir_unix):
    probe = os.path.join(dir_unix, "probe")
    rc = subprocess.call(["setpriv", "--bounding-set=-dac_override,-dac_read_search",
                          "sh", "-c", "echo x > \"$1\"", "sh", probe], stderr=subprocess.DEVNULL)
    return rc != 0 and not os.path.exists(probe)


@case("a read-only folder gives the run-time error and no completion message")
def _():
    folder = b"C:\\Read Only\\"
    install_program(folder)
    d = unix(folder)
    os.chmod(d, 0o555)
    try:
        check(refuses_writes(d), "the folder refuses writes")
        r = without_root_override(lambda: vokxp(folder))
    finally:
        os.chmod(d, 0o755)
    code, address = runtime_error(r)
    check_eq(code, 2, "error code of the open (the emptying created nothing)")
    check(not os.path.exists(os.path.join(d, "vok-xp.bat")), "no repair script")


@case("read-only scripts stop install at their own checks")
def _():
    folder = b"C:\\Locked Scripts\\"
    install_program(folder)
    d = unix(folder)
    addresses = []
    for name in (b"vok-xp.bat", REMOVAL_SCRIPT):
        for other in (b"vok-xp.bat", REMOVAL_SCRIPT):
            p = os.path.join(d, other.decode(GBK))
            if os.path.exists(p):
                os.chmod(p, 0o644)
                os.remove(p)
        locked = os.path.join(d, name.decode(GBK))
        with open(locked, "wb") as f:
            f.write(b"old")
        os.chmod(locked, 0o444)
        try:
            r = without_root_override(lambda: vokxp(folder))
        finally:
            os.chmod(locked, 0o644)
        code, address = runtime_error(r)
        check_eq(code, 5, "access denied")
        check_eq(read(folder + name), b"old", "the locked script is untouched")
        addresses.append(address)
    check_eq(read(folder + b"vok-xp.bat"), repair_script(folder), "repair script before the locked removal script")
    check(addresses[0] != addresses[1], "each check has its own address: %r" % addresses)


# --------------------------------------------------------------------------

def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--exe", required=True, help="the vokxp.exe to test")
    ap.add_argument("--helpers", required=True, help="folder of the built Wine helpers")
    ap.add_argument("--vok", help="the real vok.exe of the same build (default: vok/vok.exe beside --exe)")
    ap.add_argument("names", nargs="*", help="run only cases whose name contains one of these")
    return ap.parse_args()


if __name__ == "__main__":
    args = parse_args()
    EXE = os.path.abspath(args.exe)
    VOK = os.path.abspath(args.vok or os.path.join(os.path.dirname(EXE), "vok", "vok.exe"))
    if pe_bits(VOK) != pe_bits(EXE):
        sys.exit("%s is not of the same build as %s" % (VOK, EXE))
    P = Prefix(args.helpers)
    if pe_bits(EXE) == 32:
        TIMEOUT = 600
        SHELL = "C:\\windows\\syswow64\\cmd.exe"
    print("Wine end-to-end tests of %s" % args.exe, flush=True)
    P.start()
    try:
        status = main(args.names, exit=False)
    finally:
        P.stop()
    sys.exit(status)
