/* regread.exe: reads (or deletes, or creates) keys under HKEY_CLASSES_ROOT and reports
 * their default values as raw bytes, for the end-to-end tests under Wine.
 *
 *   regread.exe --out FILE [--view 32|64] HEXKEY...
 *   regread.exe --out FILE [--view 32|64] --delete HEXKEY...
 *   regread.exe --out FILE [--view 32|64] --create|--volatile HEXKEY...
 *
 * HEXKEY is the key path below HKEY_CLASSES_ROOT, hex coded. --view picks
 * the 32-bit or 64-bit registry view (KEY_WOW64_32KEY / KEY_WOW64_64KEY);
 * without it the helper's own (64-bit) view is used. Under Wine 8 a
 * 32-bit program's writes to shared keys (file extensions, file types and
 * their verbs) show in the 64-bit view, and --view 32 reports them missing.
 * Report lines, one per key (byte strings as lower-case hex, "-" if empty):
 *   key <hexkey> missing
 *   key <hexkey> error <code>
 *   key <hexkey> nodefault subkeys <n>
 *   key <hexkey> type <type> data <bytes as stored> subkeys <n>
 *   deleted <hexkey> | delete <hexkey> missing | delete <hexkey> error <code>
 *   created <hexkey> | create <hexkey> error <code>
 * The data is exactly what RegQueryValueExA returns (terminating NUL
 * included when it was stored). Exit code 0, or 2 on misuse. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "common.h"

static REGSAM view;

/* Starts a report line: "<word> <hex of the key path>". */
static void begin(const char *word, const char *path, size_t len)
{
    out_text("%s ", word);
    out_hex(path, len);
}

static void read_key(const char *path, size_t len)
{
    HKEY h;
    DWORD subkeys = 0, type = 0, size = 0;
    unsigned char *data = NULL;
    LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ | view, &h);

    begin("key", path, len);
    if (rc != ERROR_SUCCESS) {
        if (rc == ERROR_FILE_NOT_FOUND)
            out_text(" missing");
        else
            out_text(" error %ld", rc);
        out_end();
        return;
    }
    rc = RegQueryInfoKeyA(h, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExA(h, NULL, NULL, &type, NULL, &size);
    if (rc == ERROR_SUCCESS) {
        data = malloc(size + 1);
        rc = data ? RegQueryValueExA(h, NULL, NULL, &type, data, &size) : ERROR_OUTOFMEMORY;
    }
    if (rc == ERROR_FILE_NOT_FOUND) {
        out_text(" nodefault subkeys %lu", subkeys);
    } else if (rc != ERROR_SUCCESS) {
        out_text(" error %ld", rc);
    } else {
        out_text(" type %lu data ", type);
        out_hex(data, size);
        out_text(" subkeys %lu", subkeys);
    }
    out_end();
    free(data);
    RegCloseKey(h);
}

/* Deletes the key with everything below it. */
static void delete_key(const char *path, size_t len)
{
    HKEY h;
    LONG rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_ALL_ACCESS | view, &h);

    if (rc == ERROR_SUCCESS) {
        rc = RegDeleteTreeA(h, NULL);
        RegCloseKey(h);
        if (rc == ERROR_SUCCESS) rc = RegDeleteKeyExA(HKEY_CLASSES_ROOT, path, view, 0);
    }
    if (rc == ERROR_SUCCESS) {
        begin("deleted", path, len);
    } else {
        begin("delete", path, len);
        if (rc == ERROR_FILE_NOT_FOUND)
            out_text(" missing");
        else
            out_text(" error %ld", rc);
    }
    out_end();
}

/* Creates the key (and any missing parents), volatile if asked: keys
 * below a volatile key must be volatile too, which makes the program's own
 * creates fail. */
static void create_key(const char *path, size_t len, DWORD options)
{
    HKEY h;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, NULL, options, KEY_ALL_ACCESS | view, NULL, &h,
                              NULL);

    if (rc == ERROR_SUCCESS) {
        RegCloseKey(h);
        begin("created", path, len);
    } else {
        begin("create", path, len);
        out_text(" error %ld", rc);
    }
    out_end();
}

int main(int argc, char **argv)
{
    int i, del = 0, create = 0, first_key = 0;
    DWORD options = REG_OPTION_NON_VOLATILE;

    out_open_from_args(argc, argv);
    for (i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            i++;
        } else if (strcmp(argv[i], "--view") == 0 && i + 1 < argc) {
            if (strcmp(argv[i + 1], "32") == 0)
                view = KEY_WOW64_32KEY;
            else if (strcmp(argv[i + 1], "64") == 0)
                view = KEY_WOW64_64KEY;
            else
                usage_error("bad --view %s", argv[i + 1]);
            i++;
        } else if (strcmp(argv[i], "--delete") == 0) {
            del = 1;
        } else if (strcmp(argv[i], "--create") == 0) {
            create = 1;
        } else if (strcmp(argv[i], "--volatile") == 0) {
            create = 1;
            options = REG_OPTION_VOLATILE;
        } else if (strncmp(argv[i], "--", 2) == 0) {
            usage_error("unknown option %s", argv[i]);
        } else {
            break;
        }
    }
    first_key = i;
    if (first_key >= argc) usage_error("no key given");
    for (i = first_key; i < argc; i++) {
        char *path = hex_decode(argv[i], NULL);
        if (!path) usage_error("bad hex key %s", argv[i]);
        if (!*path) usage_error("empty key path");
        free(path);
    }
    for (i = first_key; i < argc; i++) {
        size_t len;
        char *path = hex_decode(argv[i], &len);
        if (del)
            delete_key(path, len);
        else if (create)
            create_key(path, len, options);
        else
            read_key(path, len);
        free(path);
    }
    return 0;
}
