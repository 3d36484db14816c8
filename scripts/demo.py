#!/usr/bin/env python3
"""Shows vokxp.exe at work in a throwaway Wine prefix, as a transcript.

Install from a folder with a space in its name, the right-click on a sample
.rm file reaching the repair tool (a stand-in that records how it was
started), a file dropped on the program, then removal with the removal
script. Texts are GBK on the Windows side and printed here as UTF-8.
"""
import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
from winetest import Prefix  # noqa: E402

GBK = "gbk"
TOOLS = b"C:\\My Tools\\"
MOVIE = b"C:\\My Movies\\a b&c.rm"
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


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--exe", required=True)
    ap.add_argument("--helpers", required=True)
    args = ap.parse_args()

    p = Prefix(args.helpers)
    say("Starting a throwaway Wine prefix...")
    p.start()
    try:
        tools = p.unix_path(TOOLS)
        os.makedirs(tools)
        shutil.copy(args.exe, os.path.join(tools, "vokxp.exe"))
        p.install_recvok(tools)
        movie = p.unix_path(MOVIE)
        os.makedirs(os.path.dirname(movie))
        with open(movie, "wb") as f:
            f.write(b".RMF sample")

        say()
        say('> double-click %svokxp.exe' % text(TOOLS))
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
        say("> drop %s onto vokxp.exe" % text(MOVIE))
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


if __name__ == "__main__":
    main()
