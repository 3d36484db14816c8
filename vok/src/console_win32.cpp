// The Windows console: text goes in as UTF-16 with WriteConsoleW, so any
// file name shows as it is; into a pipe or a file it goes in the console's
// code page.
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <cwchar>

#include "console.h"
#include "utf16.h"

namespace console {

namespace {

size_t shown = 0;  // width of the progress line on screen

bool is_console(HANDLE h) {
  DWORD mode;
  return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

void write(DWORD which, const std::string& utf8) {
  HANDLE h = GetStdHandle(which);
  if (!h || h == INVALID_HANDLE_VALUE) return;
  std::u16string w = utf8_to_utf16(utf8);
  DWORD done = 0;
  if (is_console(h)) {
    WriteConsoleW(h, w.data(), DWORD(w.size()), &done, nullptr);
    return;
  }
  UINT cp = GetConsoleOutputCP();
  if (cp == 0) cp = GetACP();
  const wchar_t* src = reinterpret_cast<const wchar_t*>(w.data());
  int n = WideCharToMultiByte(cp, 0, src, int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(size_t(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(cp, 0, src, int(w.size()), &bytes[0], n, nullptr, nullptr);
  WriteFile(h, bytes.data(), DWORD(bytes.size()), &done, nullptr);
}

// `other` is this process's parent, and a cmd.exe.
bool parent_is_cmd(DWORD self, DWORD other) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W e;
  e.dwSize = sizeof e;
  DWORD parent = 0;
  bool cmd = false;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    if (e.th32ProcessID == self) parent = e.th32ParentProcessID;
    if (e.th32ProcessID == other) cmd = _wcsicmp(e.szExeFile, L"cmd.exe") == 0;
  }
  CloseHandle(snap);
  return parent == other && cmd;
}

using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

Query query_process() {
  static Query q = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  return q;
}

struct Text {
  USHORT length, max;
  wchar_t* buffer;
};

// Another process's command line: the system tells from Windows 8.1 on
// (class 60); before, and under Wine, it is read from the process's own
// parameters, which works between processes of one bitness.
bool command_line_of(DWORD pid, std::u16string& line) {
  Query query = query_process();
  if (!query) return false;
  HANDLE p = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!p) return false;
  alignas(8) char buf[8192];
  ULONG got = 0;
  bool ok = query(p, 60, buf, sizeof buf, &got) >= 0;
  const Text* t = reinterpret_cast<const Text*>(buf);
  Text remote = {};
  if (ok) {
    line.assign(reinterpret_cast<const char16_t*>(t->buffer), t->length / 2);
  } else {
    BOOL mine = FALSE, theirs = FALSE;
    struct Basic {
      void* exit_status;
      char* peb;
      void* rest[4];
    } basic = {};
    char* params = nullptr;
    const size_t at_params = sizeof(void*) == 8 ? 0x20 : 0x10, at_line = sizeof(void*) == 8 ? 0x70 : 0x40;
    ok = IsWow64Process(GetCurrentProcess(), &mine) && IsWow64Process(p, &theirs) && mine == theirs &&
         query(p, 0, &basic, sizeof basic, &got) >= 0 && basic.peb &&
         ReadProcessMemory(p, basic.peb + at_params, &params, sizeof params, nullptr) &&
         ReadProcessMemory(p, params + at_line, &remote, sizeof remote, nullptr) && remote.length < 65534;
    if (ok) {
      line.resize(remote.length / 2);
      ok = ReadProcessMemory(p, remote.buffer, &line[0], remote.length, nullptr);
    }
  }
  CloseHandle(p);
  return ok;
}

// A cmd.exe that runs one command and ends: /c among its switches (Wine
// writes /s/c), where /k would stay.
bool runs_once(const std::u16string& line) {
  size_t i = 0;
  bool quoted = false;
  for (; i < line.size() && (quoted || line[i] != u' '); ++i) quoted ^= line[i] == u'"';
  for (; i + 1 < line.size(); ++i) {
    if (line[i] != u'/') continue;
    char16_t s = line[i + 1] | 0x20;
    if (s == u'c') return true;
    if (s == u'k') return false;
  }
  return false;
}

}  // namespace

Lang language() {
  wchar_t forced[8] = L"";
  if (GetEnvironmentVariableW(L"VOK_LANG", forced, 8)) {
    if (!wcscmp(forced, L"zh")) return Lang::Zh;
    if (!wcscmp(forced, L"en")) return Lang::En;
  }
  LANGID ui = GetUserDefaultUILanguage();
  bool simplified = ui == 0x0804 || ui == 0x1004;  // China, Singapore
  return simplified || GetACP() == 936 ? Lang::Zh : Lang::En;
}

void out(const std::string& utf8) {
  end_progress();
  write(STD_OUTPUT_HANDLE, utf8 + "\r\n");
}

void err(const std::string& utf8) {
  end_progress();
  write(STD_ERROR_HANDLE, utf8 + "\r\n");
}

bool shows_progress() { return is_console(GetStdHandle(STD_ERROR_HANDLE)); }

void progress(const std::string& utf8) {
  std::string line = "\r" + utf8;
  size_t width = utf8_to_utf16(utf8).size();
  if (width < shown) line += std::string(shown - width, ' ');
  if (width > shown) shown = width;
  write(STD_ERROR_HANDLE, line);
}

void end_progress() {
  if (!shown) return;
  write(STD_ERROR_HANDLE, "\r" + std::string(shown, ' ') + "\r");
  shown = 0;
}

// A console window closes when its last process ends. It was opened for
// this run when vok is the only process in it (started from the desktop),
// or when the only other one is vok's parent cmd.exe and that runs a batch
// once (cmd /c, as the shell starts a .bat from the context menu). A
// terminal the user typed into has a shell that stays: an interactive cmd,
// PowerShell. With input or output redirected, nobody is watching. Where
// the parent's command line cannot be read (a 32-bit vok under a 64-bit
// cmd before Windows 8.1), a lone cmd parent counts as a batch: waiting
// costs a terminal user one key, not waiting loses the right-click's words.
bool closes_at_exit() {
  if (!is_console(GetStdHandle(STD_INPUT_HANDLE)) || !is_console(GetStdHandle(STD_OUTPUT_HANDLE)))
    return false;
  DWORD pids[8];
  DWORD n = GetConsoleProcessList(pids, 8);
  DWORD self = GetCurrentProcessId();
  if (n == 1) return true;
  if (n != 2) return false;
  DWORD other = pids[0] == self ? pids[1] : pids[0];
  if (!parent_is_cmd(self, other)) return false;
  std::u16string line;
  return !command_line_of(other, line) || runs_once(line);
}

void wait_for_key(const std::string& prompt, int seconds) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  write(STD_OUTPUT_HANDLE, prompt);
  FlushConsoleInputBuffer(in);
  DWORD until = GetTickCount() + DWORD(seconds) * 1000;
  for (;;) {
    DWORD now = GetTickCount(), left = until - now;
    if (int32_t(until - now) <= 0 || WaitForSingleObject(in, left) != WAIT_OBJECT_0) break;
    INPUT_RECORD r[16];
    DWORD got = 0;
    if (!ReadConsoleInputW(in, r, 16, &got)) break;
    bool key = false;
    for (DWORD i = 0; i < got; ++i)
      key = key || (r[i].EventType == KEY_EVENT && r[i].Event.KeyEvent.bKeyDown);
    if (key) break;
  }
  write(STD_OUTPUT_HANDLE, "\r\n");
}

}  // namespace console
