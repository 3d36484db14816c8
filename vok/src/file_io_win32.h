// What the two halves of the Windows file layer share: paths in their long
// UTF-16 form, handles kept in a File, calls looked up at run time.
#pragma once
#include <windows.h>

#include <string>

#include "file_io.h"

namespace fileio {

inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline HANDLE h(const File& f) { return reinterpret_cast<HANDLE>(f.handle); }

// Keeps `handle` in `f`; false when it is none.
bool opened(HANDLE handle, File& f);

// The \\?\ form of a path: absolute, taken literally by the system, and
// free of the MAX_PATH limit; UNC paths become \\?\UNC\server\share.
std::u16string long_path(const std::string& path);
std::u16string folder_of(const std::u16string& p);

// Same file: same volume, same file index.
bool same_file(const std::u16string& p, const Id& id);

template <typename F>
F kernel32(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace fileio
