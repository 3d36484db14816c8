/* shellverb.exe: invokes a shell verb on a file, as a user choosing that
 * verb from the file's context menu would, for the end-to-end tests.
 *
 *   shellverb.exe --out FILE [--timeout MS] VERB_HEX FILE_HEX
 *
 * Calls ShellExecuteExA(lpVerb = verb bytes, lpFile = file bytes, SW_SHOWNORMAL,
 * SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC), then waits
 * for the started process (default 60000 ms). Report, one line:
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

    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
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
