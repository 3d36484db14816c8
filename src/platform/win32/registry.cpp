#include <windows.h>

#include "platform/platform.h"

namespace plat {

uint32_t reg_create_key(const char* path, Key* key) {
  HKEY h = nullptr;
  LONG r = RegCreateKeyA(HKEY_CLASSES_ROOT, path, &h);
  *key = reinterpret_cast<Key>(h);
  return r;
}

uint32_t reg_set_default(Key key, const char* text) {
  return RegSetValueA(reinterpret_cast<HKEY>(key), "", REG_SZ, text, 0);
}

uint32_t reg_close_key(Key key) { return RegCloseKey(reinterpret_cast<HKEY>(key)); }

uint32_t reg_delete_key(const char* path) { return RegDeleteKeyA(HKEY_CLASSES_ROOT, path); }

}  // namespace plat
