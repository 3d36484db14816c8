/* shellverb.exe: invokes a shell verb on a file, as a user choosing that
 * verb from the file's context menu would, for the end-to-end tests.
 *
 *   shellverb.exe --out FILE [--timeout MS] [--console HEXPATH] VERB_HEX FILE_HEX
 *
 * Calls ShellExecuteExA(lpVerb = verb bytes, lpFile = file bytes, SW_SHOWNORMAL,
 * SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC), then waits
 * for the started process (default 60000 ms). With --console, the started
 * process shares this helper's console (SEE_MASK_NO_CONSOLE) instead of
 * opening a console window, and what it and the programs it runs write to
 * standard output and error goes into the file HEXPATH. Report, one line:
 *   console-failed <GetLastError>  the --console file could not be created
 *   shell-failed <GetLastError>
 *   noprocess                  succeeded without a process handle
 *   exit <code>                the started process ended (decimal exit code)
 *   timeout                    it was still running at the deadline
 * Exit code 0, or 2 on misuse. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <stdlib.h>
#include <string.h>

#include "common.h"

int main(int argc, char **argv)
{
    DWORD timeout_ms = 60000, code = 0;
    const char *hex[2] = { NULL, NULL };
    const char *console_hex = NULL;
    char *verb, *file;
    int i, n = 0;
    SHELLEXECUTEINFOA sei;

    out_open_from_args(argc, argv);
    for (i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            i++;
        } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char *end;
            timeout_ms = strtoul(argv[++i], &end, 10);
            if (*end || end == argv[i]) usage_error("bad --timeout %s", argv[i]);
        } else if (strcmp(argv[i], "--console") == 0 && i + 1 < argc) {
            console_hex = argv[++i];
        } else if (strncmp(argv[i], "--", 2) == 0) {
            usage_error("unknown option %s", argv[i]);
        } else {
            if (n == 2) usage_error("too many arguments");
            hex[n++] = argv[i];
        }
    }
    if (n != 2) usage_error("need VERB_HEX FILE_HEX");
    if (!(verb = hex_decode(hex[0], NULL)) || !(file = hex_decode(hex[1], NULL)))
        usage_error("bad hex argument");
    if (console_hex) {
        SECURITY_ATTRIBUTES sa = { sizeof sa, NULL, TRUE };
        char *path = hex_decode(console_hex, NULL);
        HANDLE h;
        if (!path) usage_error("bad --console path");
        h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            out_line("console-failed %lu", GetLastError());
            return 0;
        }
        /* Without a console here, the started program would still make one
         * of its own and write there. */
        AllocConsole();
        SetStdHandle(STD_OUTPUT_HANDLE, h);
        SetStdHandle(STD_ERROR_HANDLE, h);
    }

    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    if (console_hex) sei.fMask |= SEE_MASK_NO_CONSOLE;
    sei.lpVerb = verb;
    sei.lpFile = file;
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&sei)) {
        out_line("shell-failed %lu", GetLastError());
        return 0;
    }
    if (!sei.hProcess) {
        out_line("noprocess");
        return 0;
    }
    if (WaitForSingleObject(sei.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        out_line("timeout");
        return 0;
    }
    GetExitCodeProcess(sei.hProcess, &code);
    out_line("exit %lu", code);
    CloseHandle(sei.hProcess);
    return 0;
}
