#!/usr/bin/env python3
"""Shows vokxp.exe at work in a throwaway Wine prefix, as a transcript.

Install from a folder with a space in its name, the right-click on a sample
.rm file reaching the repair tool (a stand-in that records how it was
started), then the same with the real vok.exe on a damaged file, checked on
the Linux side; a file dropped on the program, then removal with the removal
script. Texts are GBK on the Windows side and printed here as UTF-8.
"""
import argparse
import os
import shutil
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import rmrepair  # noqa: E402
from winetest import Prefix, pe_bits  # noqa: E402

GBK = "gbk"
TOOLS = b"C:\\My Tools\\"
MOVIE = b"C:\\My Movies\\a b&c.rm"
DAMAGED = "C:\\My Movies\\坏 文件.rm".encode(GBK)
VERB = "RM文件修复".encode(GBK)
COMMAND_KEY = b"RealPlayer.RM.6\\shell\\" + VERB + b"\\command"
REMOVAL_SCRIPT = "删除RM文件右键菜单.bat".encode(GBK)


def text(b):
    return b.decode(GBK)


def say(line=""):
    print(line, flush=True)


def show_run(r):
    for caption, body in r.boxes + r.child_boxes:
        say("  message box, caption %r:" % text(caption))
        for line in text(body).split("\r"):
            say("  | " + line)
    say("  exit code %s" % r.exit)


def show_registry(p):
    say("  HKEY_CLASSES_ROOT:")
    for key in (COMMAND_KEY, b".rm"):
        v = p.reg(key)[key]
        shown = "(no such key)" if v is None else text(v[1].rstrip(b"\0"))
        say("    %-40s %s" % (text(key), shown))


def show_tool_log(p):
    for line in p.vok_log(p.unix_path(TOOLS)):
        say("  vok started as: " + text(line))


def show_checks(when, findings):
    say("  checked on Linux, %s:" % when)
    for label, ok, detail in findings:
        say("    %-4s  %-24s %s" % ("pass" if ok else "fail", label, detail))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zip", required=True, help="the zip users download (scripts/package.sh)")
    ap.add_argument("--helpers", required=True)
    args = ap.parse_args()
    unpacked = tempfile.mkdtemp()
    zipfile.ZipFile(args.zip).extractall(unpacked)
    (folder,) = os.listdir(unpacked)
    package = os.path.join(unpacked, folder)
    vok = os.path.join(package, "vok.exe")
    # Each start of a 32-bit program may take a minute where it is emulated.
    repair_timeout = 600 if pe_bits(vok) == 32 else 120
    repaired = True

    p = Prefix(args.helpers)
    say("Starting a throwaway Wine prefix...")
    p.start()
    try:
        tools = p.unix_path(TOOLS)
        say()
        say("> unzip %s; its folder %s becomes %s" % (os.path.basename(args.zip), folder, text(TOOLS)))
        say("  " + ", ".join(sorted(os.listdir(package))))
        shutil.copytree(package, tools)
        p.install_recvok(tools)
        movie = p.unix_path(MOVIE)
        os.makedirs(os.path.dirname(movie))
        with open(movie, "wb") as f:
            f.write(b".RMF sample")

        say()
        say('> double-click %svokxp.exe' % text(TOOLS))
        say("  (beside it, as vok.exe, a stand-in that records how it is started)")
        show_run(p.run(b'"' + TOOLS + b'vokxp.exe"', cwd=TOOLS))
        show_registry(p)
        for name in (b"vok-xp.bat", REMOVAL_SCRIPT):
            with open(os.path.join(tools, text(name)), "rb") as f:
                data = f.read()
            say("  %s%s, %d bytes:" % (text(TOOLS), text(name), len(data)))
            for line in data.split(b"\r\n"):
                say("  | " + text(line))

        say()
        say("> right-click %s, choose %s" % (text(MOVIE), text(VERB)))
        say("  shell: " + p.shell(VERB, MOVIE))
        show_tool_log(p)
        os.remove(os.path.join(tools, "vok.log"))

        say()
        say("> right-click %s, choose %s, with the real vok.exe in %s" % (text(DAMAGED), text(VERB), text(TOOLS)))
        shutil.copy(vok, os.path.join(tools, "vok.exe"))
        damaged_unix = p.unix_path(DAMAGED)
        size, damaged = rmrepair.make_damaged(damaged_unix)
        say("  made by ffmpeg: %d s of RealVideo 2 and AC-3, %d bytes, no index;" % (rmrepair.SOURCE_SECONDS, size))
        say("  then %s: %d bytes" % (rmrepair.DAMAGE, len(damaged)))
        show_checks("before", rmrepair.inspect(damaged_unix))
        # As Explorer does: the shell opens a console window for the batch;
        # its text is read back, and a key pressed once vok waits for one.
        r = p.rightclick(VERB, DAMAGED, prompt="按任意键关闭", timeout=repair_timeout)
        say("  console window (vok waited for a key: %s; a key was pressed):" % ("yes" if r.waiting else "no"))
        for line in (r.prompt_screen or r.screen or "").split("\n"):
            if line:
                say("  | " + line)
        say("  the batch ended with exit code %s" % r.exit)
        after = rmrepair.check_repaired(damaged_unix, damaged)
        show_checks("after", after)
        repaired = all(ok for label, ok, detail in after)
        p.install_recvok(tools)

        say()
        say("> drop %s onto vokxp.exe (the stand-in back as vok.exe)" % text(MOVIE))
        show_run(p.run(b'"' + TOOLS + b'vokxp.exe" "' + MOVIE + b'"', cwd=TOOLS))
        show_tool_log(p)
        os.remove(os.path.join(tools, "vok.log"))

        say()
        say("> double-click %s%s" % (text(TOOLS), text(REMOVAL_SCRIPT)))
        show_run(p.run(b'cmd /c "' + REMOVAL_SCRIPT + b'"', cwd=TOOLS))
        show_registry(p)

        say()
        say("> right-click %s again" % text(MOVIE))
        say("  shell: " + p.shell(VERB, MOVIE))
        say("  vok started %d times" % len(p.vok_log(tools)))
    finally:
        p.stop()
        shutil.rmtree(unpacked, ignore_errors=True)
    if not repaired:
        sys.exit("the real vok.exe did not repair the damaged file")


if __name__ == "__main__":
    main()
