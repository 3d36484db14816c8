/* runner.exe: starts a program from exact command-line bytes inside a job
 * object, records every message box it shows (pressing OK on each) and its
 * exit code, for the end-to-end tests under Wine.
 *
 *   runner.exe --out FILE [--timeout MS] [--cwd HEXPATH] [--hold HEXPATH]
 *              [--no-wait-children] CMDLINE_HEX
 *
 * Report lines (byte strings as lower-case hex, "-" when empty):
 *   box <caption> <text>      a message box of the target, then OK is pressed
 *   child-box <caption> <text> the same for another process of the job
 *   exit <code>               the target ended (decimal exit code)
 *   children-done             then every other process of the job ended too
 *   children-timeout <n>      or n were still running at the deadline (killed),
 *   left <pid> <image path>   each named on a line of its own
 *   children-unknown <err>    or the job could not be queried
 *   start-failed <err>        CreateProcessA failed with GetLastError() err
 *   timeout                   the target ran past the deadline (job killed)
 *   hold-failed <err>         the --hold file could not be opened (exit 1)
 * The deadline (--timeout, default 120000 ms) counts from the start. Unless
 * --no-wait-children is given, processes the target started (they inherit
 * the job) are waited for up to the deadline, so that a batch file started
 * by the target can finish; closing the job kills whatever is left. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common.h"

#define MAX_SEEN 256

static HANDLE job;
static DWORD target_pid;
static HWND seen[MAX_SEEN];
static int seen_count;
static char text_buf[65536];

static int already_seen(HWND h)
{
    int i;
    for (i = 0; i < seen_count; i++)
        if (seen[i] == h) return 1;
    return 0;
}

/* Forgets boxes that are gone, so that the list stays short. */
static void prune_seen(void)
{
    int i, n = 0;
    for (i = 0; i < seen_count; i++)
        if (IsWindow(seen[i])) seen[n++] = seen[i];
    seen_count = n;
}

static int in_job(DWORD pid)
{
    BOOL result = FALSE;
    /* Wine refuses IsProcessInJob on a PROCESS_QUERY_LIMITED_INFORMATION handle. */
    HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!h) return 0;
    if (!IsProcessInJob(h, job, &result)) result = FALSE;
    CloseHandle(h);
    return result != FALSE;
}

static void write_window_text(HWND h)
{
    int n = h ? GetWindowTextA(h, text_buf, sizeof text_buf) : 0;
    out_hex(text_buf, n > 0 ? (size_t)n : 0);
}

static BOOL CALLBACK box_callback(HWND h, LPARAM unused)
{
    char cls[16];
    DWORD pid = 0;
    const char *kind;

    (void)unused;
    if (!GetClassNameA(h, cls, sizeof cls) || strcmp(cls, "#32770") != 0) return TRUE;
    /* Texts are set while the dialog is still hidden; wait until it shows. */
    if (!IsWindowVisible(h) || already_seen(h)) return TRUE;
    GetWindowThreadProcessId(h, &pid);
    if (pid == target_pid)
        kind = "box";
    else if (in_job(pid))
        kind = "child-box";
    else
        return TRUE;
    if (seen_count < MAX_SEEN) seen[seen_count++] = h;
    out_text("%s ", kind);
    write_window_text(h);
    out_text(" ");
    write_window_text(GetDlgItem(h, 0xFFFF));
    out_end();
    PostMessageA(h, WM_COMMAND, IDOK, 0);
    return TRUE;
}

static void scan_boxes(void)
{
    prune_seen();
    EnumWindows(box_callback, 0);
}

/* Processes still running in the job, or (DWORD)-1 if that is unknown. */
static DWORD active_processes(void)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, NULL))
        return (DWORD)-1;
    return info.ActiveProcesses;
}

/* Names the processes still in the job: "left <pid> <image path hex>". */
static void report_left(void)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids;
    DWORD i;

    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, NULL)) return;
    for (i = 0; i < ids.list.NumberOfProcessIdsInList; i++) {
        DWORD pid = (DWORD)ids.list.ProcessIdList[i], n = sizeof text_buf;
        HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (!h || !QueryFullProcessImageNameA(h, 0, text_buf, &n)) n = 0;
        if (h) CloseHandle(h);
        out_text("left %lu ", pid);
        out_hex(text_buf, n);
        out_end();
    }
}

int main(int argc, char **argv)
{
    DWORD timeout_ms = 120000, code = 0;
    const char *cwd_hex = NULL, *hold_hex = NULL, *cmd_hex = NULL;
    char *cwd = NULL, *hold = NULL, *cmd;
    int wait_children = 1, i;
    HANDLE hold_handle = INVALID_HANDLE_VALUE;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ULONGLONG deadline;

    out_open_from_args(argc, argv);
    for (i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--no-wait-children") == 0) {
            wait_children = 0;
        } else if (strncmp(argv[i], "--", 2) == 0) {
            if (i + 1 >= argc) usage_error("%s needs a value", argv[i]);
            if (strcmp(argv[i], "--out") == 0) {
                /* opened above */
            } else if (strcmp(argv[i], "--timeout") == 0) {
                char *end;
                timeout_ms = strtoul(argv[i + 1], &end, 10);
                if (*end || end == argv[i + 1]) usage_error("bad --timeout %s", argv[i + 1]);
            } else if (strcmp(argv[i], "--cwd") == 0) {
                cwd_hex = argv[i + 1];
            } else if (strcmp(argv[i], "--hold") == 0) {
                hold_hex = argv[i + 1];
            } else {
                usage_error("unknown option %s", argv[i]);
            }
            i++;
        } else {
            if (cmd_hex) usage_error("more than one command line");
            cmd_hex = argv[i];
        }
    }
    if (!cmd_hex) usage_error("missing CMDLINE_HEX");
    if (!(cmd = hex_decode(cmd_hex, NULL))) usage_error("bad hex in command line");
    if (cwd_hex && !(cwd = hex_decode(cwd_hex, NULL))) usage_error("bad hex in --cwd");
    if (hold_hex && !(hold = hex_decode(hold_hex, NULL))) usage_error("bad hex in --hold");
    deadline = GetTickCount64() + timeout_ms;

    if (hold) {
        hold_handle = CreateFileA(hold, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hold_handle == INVALID_HANDLE_VALUE) {
            out_line("hold-failed %lu", GetLastError());
            return 1;
        }
    }

    /* Wine starts the desktop process (explorer.exe) on first use of the
     * desktop; started by the target it would land in the job, be waited
     * for and then killed. Make sure it is started by us. */
    GetDesktopWindow();

    job = CreateJobObjectA(NULL, NULL);
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        out_line("usage-error job object setup failed %lu", GetLastError());
        return 3;
    }

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, cmd, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, cwd, &si, &pi)) {
        out_line("start-failed %lu", GetLastError());
        return 0;
    }
    target_pid = pi.dwProcessId;
    if (!AssignProcessToJobObject(job, pi.hProcess)) {
        DWORD err = GetLastError();
        TerminateProcess(pi.hProcess, 1);
        out_line("usage-error AssignProcessToJobObject failed %lu", err);
        return 3;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    for (;;) {
        DWORD w = WaitForSingleObject(pi.hProcess, 50);
        if (w == WAIT_OBJECT_0) break;
        scan_boxes();
        if (GetTickCount64() >= deadline) {
            TerminateJobObject(job, 1);
            out_line("timeout");
            return 0;
        }
    }
    GetExitCodeProcess(pi.hProcess, &code);
    out_line("exit %lu", code);
    if (hold_handle != INVALID_HANDLE_VALUE) CloseHandle(hold_handle);

    if (wait_children) {
        DWORD left;
        while ((left = active_processes()) > 0 && left != (DWORD)-1 && GetTickCount64() < deadline) {
            scan_boxes();
            Sleep(50);
        }
        if (left == (DWORD)-1) {
            out_line("children-unknown %lu", GetLastError());
        } else if (left > 0) {
            out_line("children-timeout %lu", left);
            report_left();
        } else {
            out_line("children-done");
        }
    }
    CloseHandle(job); /* kills whatever is left */
    return 0;
}
