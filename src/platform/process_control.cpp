#include "platform/process_control.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/unique_handle.h"

namespace zavex {

bool IsProcessRunning(const std::wstring& exeName) {
  UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, exeName.c_str(), -1, TRUE) == CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

bool RequestApplicationClose() {
  HWND window = FindWindowW(nullptr, kApplicationWindowTitle);
  if (!window) return false;
  PostMessageW(window, WM_CLOSE, 0, 0);
  return true;
}

}  // namespace zavex
