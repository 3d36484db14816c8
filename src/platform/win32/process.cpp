#include <windows.h>

#include "platform/platform.h"

// The base the image is linked at; CMake passes the same number to the linker.
#ifndef VOKXP_IMAGE_BASE
#error VOKXP_IMAGE_BASE must name the link-time image base
#endif

namespace plat {

uint32_t module_file_name(char* buf, uint32_t size) { return GetModuleFileNameA(nullptr, buf, size); }

const char* command_line() { return GetCommandLineA(); }

const char* char_next(const char* p) { return CharNextA(p); }

void exit_process(uint32_t code) { ExitProcess(code); }

void* mem_alloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void mem_free(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}

uint32_t link_address(const void* code) {
  auto actual_base = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(code) - actual_base + VOKXP_IMAGE_BASE);
}

void message_box(const char* text, const char* caption, uint32_t type) {
  MessageBoxA(nullptr, text, caption, type);
}

uint32_t win_exec(const char* command, uint32_t show) { return WinExec(command, show); }

}  // namespace plat
