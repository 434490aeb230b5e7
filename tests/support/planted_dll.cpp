// Stands in for a system DLL planted beside a program: when loaded, it only
// records that in "<its own path>.loaded".
#include <windows.h>

#include <string>

#include "platform/unique_handle.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  const std::wstring marker = std::wstring(path, length) + L".loaded";
  zavex::UniqueFile file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  return TRUE;
}
