// Every operating-system operation the program uses, as plain free functions.
//
// Two implementations share these declarations: win32/ calls the real ANSI
// Win32 functions, sim/ answers from in-memory state for the host tests. The
// build links exactly one of them. Text crosses this boundary as GBK bytes,
// never converted.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace plat {

// --- Process -----------------------------------------------------------------

// GetModuleFileNameA(NULL, buf, size): the length written, 0 on failure.
uint32_t module_file_name(char* buf, uint32_t size);
// GetCommandLineA: NUL-terminated, owned by the platform.
const char* command_line();
// CharNextA: steps over one character of the ANSI code page; stays on the NUL.
const char* char_next(const char* p);
// ExitProcess.
[[noreturn]] void exit_process(uint32_t code);

// Heap for the program's strings; nullptr when memory runs out.
void* mem_alloc(size_t size);
void mem_free(void* p);

// A code address as it is at link time, so that it reads the same on every
// run whatever base the loader chose.
uint32_t link_address(const void* code);

// --- Message box -------------------------------------------------------------

// MessageBoxA(NULL, text, caption, type).
void message_box(const char* text, const char* caption, uint32_t type);

// --- Registry, below HKEY_CLASSES_ROOT ------------------------------------------

typedef uintptr_t Key;

// RegCreateKeyA(HKEY_CLASSES_ROOT, path, &key).
uint32_t reg_create_key(const char* path, Key* key);
// RegSetValueA(key, "", REG_SZ, text, 0): the key's default value.
uint32_t reg_set_default(Key key, const char* text);
// RegCloseKey.
uint32_t reg_close_key(Key key);
// RegDeleteKeyA(HKEY_CLASSES_ROOT, path).
uint32_t reg_delete_key(const char* path);

// --- Files ---------------------------------------------------------------------

typedef uintptr_t File;
const File kInvalidFile = ~static_cast<File>(0);

const uint32_t kGenericRead = 0x80000000u;
const uint32_t kGenericWrite = 0x40000000u;
const uint32_t kShareRead = 1;
const uint32_t kCreateAlways = 2;
const uint32_t kOpenExisting = 3;
const uint32_t kAttributeNormal = 0x80;
const uint32_t kFileTypeUnknown = 0;
const uint32_t kFileTypeChar = 2;

// CreateFileA(path, access, share, NULL, disposition, attributes, NULL).
File create_file(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                 uint32_t attributes);
bool close_handle(File file);
// WriteFile; the count written is not reported because nothing compares it.
bool write_file(File file, const void* data, uint32_t size);
uint32_t get_file_type(File file);
// SetFilePointer(file, 0, NULL, FILE_BEGIN) then SetEndOfFile: drops all content.
bool truncate_to_start(File file);
// GetLastError.
uint32_t last_error();

// --- Process start -------------------------------------------------------------

const uint32_t kShowNormal = 5;  // SW_SHOW

// WinExec(command, show).
uint32_t win_exec(const char* command, uint32_t show);

}  // namespace plat
