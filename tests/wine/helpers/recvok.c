/* recvok.exe: stands in for the repair tool vok.exe in the end-to-end tests.
 * Copied next to the program under test as vok.exe, it records how it was
 * started: it appends one line, the lower-case hex of GetCommandLineA()
 * followed by "\r\n", to vok.log in its own directory, and exits 0.
 * Exit code 1 if the log could not be written. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdlib.h>
#include <string.h>

int main(void)
{
    char path[MAX_PATH + 16];
    const unsigned char *cmd = (const unsigned char *)GetCommandLineA();
    size_t n = strlen((const char *)cmd), i;
    char *line = malloc(2 * n + 3);
    DWORD len, written = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    char *slash;
    int tries;

    len = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (!line || len == 0 || len >= MAX_PATH) return 1;
    slash = strrchr(path, '\\');
    strcpy(slash ? slash + 1 : path, "vok.log");

    for (i = 0; i < n; i++) {
        static const char digits[] = "0123456789abcdef";
        line[2 * i] = digits[cmd[i] >> 4];
        line[2 * i + 1] = digits[cmd[i] & 15];
    }
    memcpy(line + 2 * n, "\r\n", 2);

    /* Another copy may be appending at the same moment: retry briefly. */
    for (tries = 0; tries < 100 && h == INVALID_HANDLE_VALUE; tries++) {
        h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE) Sleep(20);
    }
    if (h == INVALID_HANDLE_VALUE) return 1;
    if (!WriteFile(h, line, (DWORD)(2 * n + 2), &written, NULL) || written != 2 * n + 2) {
        CloseHandle(h);
        return 1;
    }
    CloseHandle(h);
    return 0;
}
