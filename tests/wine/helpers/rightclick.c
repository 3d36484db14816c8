/* rightclick.exe: picks a context-menu verb as Explorer does and watches the
 * console window the shell opens for it; or types a command into an
 * interactive cmd.exe, as a user at a terminal would. For the end-to-end
 * tests of what the repair tool shows and whether it waits for a key.
 *
 *   rightclick.exe --out FILE [--timeout MS] [--prompt HEX] [--press-after MS]
 *                  [--hold HEXPATH] [--swap WATCH_HEX NEW_HEX] VERB_HEX FILE_HEX
 *   rightclick.exe --out FILE --terminal [--shell HEXPATH] [--timeout MS] [--prompt HEX] CMDLINE_HEX
 *
 * Text arguments are UTF-8 as hex ("-" when empty). The first form calls
 * ShellExecuteExW(verb, file, SW_SHOWNORMAL, SEE_MASK_NOCLOSEPROCESS |
 * SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC), so the batch gets a console of its
 * own, and polls that console's text. Once the --prompt text is on screen it
 * waits --press-after ms (default 1500), says whether the started process is
 * still running and, if so, presses the space bar. --hold keeps a file open
 * (GENERIC_READ, FILE_SHARE_READ) throughout, as a media player would.
 * --swap puts NEW in the place of FILE (ReplaceFileW, as an editor saving a
 * new version does) as soon as WATCH exists: the program's temporary file.
 * The second form starts cmd.exe (or --shell) in a new console, types CMDLINE followed by
 * " & echo " and a marker, then Enter, and waits for the marker's output
 * without ever pressing a key; then it types "exit".
 *
 * Report lines (times in ms: since ShellExecuteExW, or since the command
 * was typed; screens as hex of UTF-8, rows joined with "\n", trailing
 * blanks trimmed):
 *   hold-failed <err>    the --hold file could not be opened (exit 1)
 *   shell-failed <err>   ShellExecuteExW failed; noprocess: no process handle
 *   start-failed <err>   CreateProcessW of cmd.exe failed
 *   attach-failed <err>  its console could not be reached (it ended too soon)
 *   swapped <ms>         --swap replaced FILE; swap-failed <err>: it could not
 *   prompt <ms>          the prompt text appeared,
 *   screen <hex>         and this was on screen then
 *   waiting | ended      --press-after ms later the process ran, or not
 *   pressed              a key was pressed
 *   done <ms>            the marker appeared (--terminal)
 *   timeout              the deadline (--timeout, default 60000 ms from the
 *                        start) passed; the process and its children were killed
 *   screen <hex>         the final screen
 *   exit <code>          the started process (cmd.exe) ended with this code
 * Exit code 0, 1 if --hold failed, 2 on misuse. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "common.h"

#define POLL_MS 50
/* Typed with a caret that cmd removes: the typed command line never
 * matches the text echo prints. */
#define MARKER_TYPED L"rightclick^-done"
#define MARKER_SHOWN L"rightclick-done"

static HANDLE con_in = INVALID_HANDLE_VALUE, con_out = INVALID_HANDLE_VALUE;
static WCHAR *swap_watch, *swap_new;
static ULONGLONG deadline;

/* The screen as last read: rows trimmed and joined with '\n' (report), and
 * untrimmed rows back to back, where a wrapped line is still one string. */
static WCHAR *shown, *flat;
static size_t shown_cap;

static WCHAR *utf16_arg(const char *hex, const char *what)
{
    size_t len;
    char *utf8 = hex_decode(hex, &len);
    WCHAR *w;
    int n;

    if (!utf8) usage_error("bad hex in %s", what);
    n = len ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, (int)len, NULL, 0) : 0;
    if (len && n == 0) usage_error("%s is not UTF-8", what);
    w = calloc((size_t)n + 1, sizeof *w);
    if (!w) usage_error("out of memory");
    if (n) MultiByteToWideChar(CP_UTF8, 0, utf8, (int)len, w, n);
    free(utf8);
    return w;
}

static DWORD parse_ms(const char *s, const char *what)
{
    char *end;
    unsigned long v = strtoul(s, &end, 10);
    if (*end || end == s) usage_error("bad %s %s", what, s);
    return (DWORD)v;
}

static DWORD elapsed(ULONGLONG since)
{
    return (DWORD)(GetTickCount64() - since);
}

static DWORD remaining(void)
{
    ULONGLONG now = GetTickCount64();
    return now < deadline ? (DWORD)(deadline - now) : 0;
}

static HANDLE open_console(const WCHAR *name)
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

/* Console handles outlive FreeConsole under Wine and keep the console, and
 * with it the screen, alive after its processes have ended. Being attached
 * only this long keeps the helper out of GetConsoleProcessList for the
 * program under test. */
static int reach_console(HANDLE proc, DWORD pid)
{
    DWORD err = 0;

    for (;;) {
        if (AttachConsole(pid)) {
            con_in = open_console(L"CONIN$");
            con_out = open_console(L"CONOUT$");
            err = GetLastError();
            FreeConsole();
            if (con_in != INVALID_HANDLE_VALUE && con_out != INVALID_HANDLE_VALUE) return 1;
            break;
        }
        err = GetLastError();
        if (WaitForSingleObject(proc, 5) == WAIT_OBJECT_0 || GetTickCount64() >= deadline) break;
    }
    out_line("attach-failed %lu", err);
    return 0;
}

static int grow(size_t need)
{
    WCHAR *a, *b;
    if (need <= shown_cap) return 1;
    a = realloc(shown, need * sizeof *a);
    if (a) shown = a;
    b = realloc(flat, need * sizeof *b);
    if (b) flat = b;
    if (!a || !b) return 0;
    shown_cap = need;
    return 1;
}

/* Reads rows 0 to the cursor's row. Row by row: where a wide character
 * fills two cells, a row may yield fewer characters than it has cells. */
static int read_screen(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    size_t ns = 0, nf = 0, keep = 0;
    SHORT y;

    if (!GetConsoleScreenBufferInfo(con_out, &info) || info.dwSize.X <= 0) return 0;
    if (!grow((size_t)(info.dwCursorPosition.Y + 1) * (info.dwSize.X + 1) + 1)) return 0;
    for (y = 0; y <= info.dwCursorPosition.Y; y++) {
        COORD at = { 0, y };
        DWORD got = 0, end;
        if (!ReadConsoleOutputCharacterW(con_out, flat + nf, (DWORD)info.dwSize.X, at, &got)) return 0;
        for (end = got; end > 0 && flat[nf + end - 1] == L' '; end--)
            ;
        if (y > 0) shown[ns++] = L'\n';
        memcpy(shown + ns, flat + nf, end * sizeof *shown);
        ns += end;
        if (end > 0) keep = ns;
        nf += got;
    }
    shown[keep] = 0;
    flat[nf] = 0;
    return 1;
}

static int on_screen(const WCHAR *text)
{
    return text && *text && flat && wcsstr(flat, text) != NULL;
}

static void report_screen(void)
{
    int n = shown ? WideCharToMultiByte(CP_UTF8, 0, shown, -1, NULL, 0, NULL, NULL) : 0;
    char *utf8 = n > 1 ? malloc((size_t)n) : NULL;

    out_text("screen ");
    if (utf8) WideCharToMultiByte(CP_UTF8, 0, shown, -1, utf8, n, NULL, NULL);
    out_hex(utf8, utf8 ? (size_t)n - 1 : 0);
    out_end();
    free(utf8);
}

static void key(WCHAR ch, WORD vk)
{
    INPUT_RECORD r[2];
    DWORD written;

    memset(r, 0, sizeof r);
    r[0].EventType = r[1].EventType = KEY_EVENT;
    r[0].Event.KeyEvent.bKeyDown = TRUE;
    r[0].Event.KeyEvent.wRepeatCount = r[1].Event.KeyEvent.wRepeatCount = 1;
    r[0].Event.KeyEvent.wVirtualKeyCode = r[1].Event.KeyEvent.wVirtualKeyCode = vk;
    r[0].Event.KeyEvent.wVirtualScanCode = r[1].Event.KeyEvent.wVirtualScanCode =
        (WORD)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    r[0].Event.KeyEvent.uChar.UnicodeChar = r[1].Event.KeyEvent.uChar.UnicodeChar = ch;
    WriteConsoleInputW(con_in, r, 2, &written);
}

/* Punctuation goes without a key code: cmd's line editor would take '.'
 * and '&' for VK_DELETE and VK_UP. */
static void type(const WCHAR *s)
{
    for (; *s; s++) {
        WCHAR c = *s;
        WORD vk = 0;
        if (c == L'\r') vk = VK_RETURN;
        else if (c == L' ') vk = VK_SPACE;
        else if ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z')) vk = c;
        else if (c >= L'a' && c <= L'z') vk = (WORD)(c - L'a' + L'A');
        key(c, vk);
    }
}

/* The batch's programs are children of cmd, not in any job of ours. */
static void kill_tree(DWORD root)
{
    DWORD pids[1024];
    int n = 1, i;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);

    pids[0] = root;
    if (snap != INVALID_HANDLE_VALUE) {
        int grown = 1;
        while (grown && n < 1024) {
            PROCESSENTRY32W pe;
            grown = 0;
            pe.dwSize = sizeof pe;
            if (!Process32FirstW(snap, &pe)) break;
            do {
                int known = 0, parent = 0;
                for (i = 0; i < n; i++) {
                    if (pids[i] == pe.th32ProcessID) known = 1;
                    if (pids[i] == pe.th32ParentProcessID) parent = 1;
                }
                if (parent && !known && n < 1024) {
                    pids[n++] = pe.th32ProcessID;
                    grown = 1;
                }
            } while (Process32NextW(snap, &pe));
        }
        CloseHandle(snap);
    }
    for (i = n - 1; i >= 0; i--) {
        HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pids[i]);
        if (h) {
            TerminateProcess(h, 1);
            CloseHandle(h);
        }
    }
}

static void report_exit(HANDLE proc)
{
    DWORD code = 0;
    GetExitCodeProcess(proc, &code);
    out_line("exit %lu", code);
}

/* The process ended: what its console shows last, and its exit code. */
static int report_end(HANDLE proc)
{
    read_screen();
    report_screen();
    report_exit(proc);
    return 0;
}

static void timed_out(HANDLE proc)
{
    kill_tree(GetProcessId(proc));
    WaitForSingleObject(proc, 5000);
    out_line("timeout");
    if (con_out == INVALID_HANDLE_VALUE) return;
    read_screen();
    report_screen();
}

/* The --swap: once, when the watched file shows up. */
static void swap_if_due(const WCHAR *file, ULONGLONG start)
{
    if (!swap_watch || GetFileAttributesW(swap_watch) == INVALID_FILE_ATTRIBUTES) return;
    if (ReplaceFileW(file, swap_new, NULL, 0, NULL, NULL))
        out_line("swapped %lu", elapsed(start));
    else
        out_line("swap-failed %lu", GetLastError());
    swap_watch = NULL;
}

static int verb_mode(const WCHAR *verb, const WCHAR *file, const WCHAR *prompt, DWORD press_after)
{
    SHELLEXECUTEINFOW sei;
    ULONGLONG start, press_at = 0;
    int seen = 0, told = 0;

    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    sei.lpVerb = verb;
    sei.lpFile = file;
    sei.nShow = SW_SHOWNORMAL;
    start = GetTickCount64();
    if (!ShellExecuteExW(&sei)) {
        out_line("shell-failed %lu", GetLastError());
        return 0;
    }
    if (!sei.hProcess) {
        out_line("noprocess");
        return 0;
    }
    if (!reach_console(sei.hProcess, GetProcessId(sei.hProcess))) {
        if (WaitForSingleObject(sei.hProcess, remaining()) != WAIT_OBJECT_0) {
            timed_out(sei.hProcess);
            return 0;
        }
        report_exit(sei.hProcess);
        return 0;
    }
    for (;;) {
        int ended = WaitForSingleObject(sei.hProcess, swap_watch ? 1 : POLL_MS) == WAIT_OBJECT_0;
        swap_if_due(file, start);
        if (swap_watch && !ended) continue;
        read_screen();
        if (!seen && on_screen(prompt)) {
            seen = 1;
            press_at = GetTickCount64() + press_after;
            out_line("prompt %lu", elapsed(start));
            report_screen();
        }
        if (seen && !told && (ended || GetTickCount64() >= press_at)) {
            told = 1;
            ended = WaitForSingleObject(sei.hProcess, 0) == WAIT_OBJECT_0;
            out_line(ended ? "ended" : "waiting");
            if (!ended) {
                key(L' ', VK_SPACE);
                out_line("pressed");
            }
        }
        if (ended) break;
        if (GetTickCount64() >= deadline) {
            timed_out(sei.hProcess);
            return 0;
        }
    }
    return report_end(sei.hProcess);
}

/* cmd is at its prompt once the cursor stands right after a '>'. */
static int at_cmd_prompt(void)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    WCHAR c = 0;
    DWORD got = 0;
    COORD at;

    if (!GetConsoleScreenBufferInfo(con_out, &info) || info.dwCursorPosition.X == 0) return 0;
    at.X = (SHORT)(info.dwCursorPosition.X - 1);
    at.Y = info.dwCursorPosition.Y;
    return ReadConsoleOutputCharacterW(con_out, &c, 1, at, &got) && got == 1 && c == L'>';
}

static int terminal_mode(const WCHAR *cmdline, const WCHAR *prompt, WCHAR *cmd)
{
    static const WCHAR tail[] = L" & echo " MARKER_TYPED L"\r";
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    ULONGLONG typed;
    WCHAR *line;
    int seen = 0;

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessW(NULL, cmd, NULL, NULL, FALSE, CREATE_NEW_CONSOLE, NULL, NULL, &si, &pi)) {
        out_line("start-failed %lu", GetLastError());
        return 0;
    }
    CloseHandle(pi.hThread);
    if (!reach_console(pi.hProcess, pi.dwProcessId)) {
        kill_tree(pi.dwProcessId);
        return 0;
    }
    while (!at_cmd_prompt()) {
        if (WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_OBJECT_0) return report_end(pi.hProcess);
        if (GetTickCount64() >= deadline) {
            timed_out(pi.hProcess);
            return 0;
        }
    }
    line = malloc((wcslen(cmdline) + wcslen(tail) + 1) * sizeof *line);
    if (!line) usage_error("out of memory");
    wcscpy(line, cmdline);
    wcscat(line, tail);
    type(line);
    free(line);
    typed = GetTickCount64();
    for (;;) {
        int ended = WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_OBJECT_0;
        read_screen();
        if (!seen && on_screen(prompt)) {
            seen = 1;
            out_line("prompt %lu", elapsed(typed));
        }
        if (on_screen(MARKER_SHOWN)) {
            out_line("done %lu", elapsed(typed));
            break;
        }
        if (ended) return report_end(pi.hProcess); /* the command line itself ended cmd */
        if (GetTickCount64() >= deadline) {
            timed_out(pi.hProcess);
            return 0;
        }
    }
    report_screen();
    type(L"exit\r");
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
        timed_out(pi.hProcess);
        return 0;
    }
    report_exit(pi.hProcess);
    return 0;
}

int main(int argc, char **argv)
{
    DWORD timeout_ms = 60000, press_after = 1500;
    const char *prompt_hex = NULL, *hold_hex = NULL, *shell_hex = NULL, *hex[2] = { NULL, NULL };
    WCHAR *prompt = NULL;
    HANDLE hold = INVALID_HANDLE_VALUE;
    int terminal = 0, n = 0, i, rc;

    out_open_from_args(argc, argv);
    for (i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--terminal") == 0) {
            terminal = 1;
        } else if (strncmp(argv[i], "--", 2) == 0) {
            if (i + 1 >= argc) usage_error("%s needs a value", argv[i]);
            if (strcmp(argv[i], "--out") == 0) {
                /* opened above */
            } else if (strcmp(argv[i], "--timeout") == 0) {
                timeout_ms = parse_ms(argv[i + 1], "--timeout");
            } else if (strcmp(argv[i], "--press-after") == 0) {
                press_after = parse_ms(argv[i + 1], "--press-after");
            } else if (strcmp(argv[i], "--prompt") == 0) {
                prompt_hex = argv[i + 1];
            } else if (strcmp(argv[i], "--hold") == 0) {
                hold_hex = argv[i + 1];
            } else if (strcmp(argv[i], "--shell") == 0) {
                shell_hex = argv[i + 1];
            } else if (strcmp(argv[i], "--swap") == 0) {
                if (i + 2 >= argc) usage_error("--swap needs WATCH_HEX NEW_HEX");
                swap_watch = utf16_arg(argv[i + 1], "--swap");
                swap_new = utf16_arg(argv[++i + 1], "--swap");
            } else {
                usage_error("unknown option %s", argv[i]);
            }
            i++;
        } else {
            if (n == 2) usage_error("too many arguments");
            hex[n++] = argv[i];
        }
    }
    if (terminal && (n != 1 || hold_hex)) usage_error("--terminal needs CMDLINE_HEX alone, without --hold");
    if (!terminal && n != 2) usage_error("need VERB_HEX FILE_HEX");
    if (prompt_hex) prompt = utf16_arg(prompt_hex, "--prompt");
    deadline = GetTickCount64() + timeout_ms;

    if (hold_hex) {
        WCHAR *path = utf16_arg(hold_hex, "--hold");
        hold = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           NULL);
        if (hold == INVALID_HANDLE_VALUE) {
            out_line("hold-failed %lu", GetLastError());
            return 1;
        }
    }
    /* The shell must make a new console for the batch, not lend it ours. */
    FreeConsole();
    if (terminal)
        rc = terminal_mode(utf16_arg(hex[0], "the command line"), prompt,
                           shell_hex ? utf16_arg(shell_hex, "--shell") : _wcsdup(L"cmd.exe"));
    else
        rc = verb_mode(utf16_arg(hex[0], "the verb"), utf16_arg(hex[1], "the file"), prompt, press_after);
    if (hold != INVALID_HANDLE_VALUE) CloseHandle(hold);
    return rc;
}
