#include "report/runtime_error.h"

#include <string.h>

#include "platform/platform.h"

uint32_t exit_code_for(uint32_t code) {
  uint32_t low = code & 0xFF;
  return low != 0 ? low : code;
}

void format_runtime_error(uint32_t code, uint32_t address, char out[30]) {
  memcpy(out, "Runtime error     at 00000000", 30);
  // Digits are written from the right edge of each field leftwards.
  uint32_t n = code & 0xFF;
  int pos = 16;
  do {
    out[pos--] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  pos = 28;
  do {
    out[pos--] = "0123456789ABCDEF"[address & 0xF];
    address >>= 4;
  } while (address != 0);
}

void runtime_error(uint32_t code, uint32_t address) {
  char text[30];
  format_runtime_error(code, address, text);
  plat::message_box(text, "Error", 0);
  plat::exit_process(exit_code_for(code));
}

void check(uint32_t code) {
  if (code != 0) runtime_error(code, plat::link_address(__builtin_return_address(0)));
}

void fail_at_caller(uint32_t code) { runtime_error(code, plat::link_address(__builtin_return_address(0))); }
