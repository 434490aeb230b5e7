#include "platform/system_dlls.h"

#include <windows.h>

namespace zavex {

bool RestrictDllSearchToSystem32(std::initializer_list<const wchar_t*> preloadedDlls) {
  bool restricted = SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
  for (const wchar_t* name : preloadedDlls) {
    // Kept loaded for the life of the process, so the module is never freed.
    restricted = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) != nullptr && restricted;
  }
  return restricted;
}

}  // namespace zavex
