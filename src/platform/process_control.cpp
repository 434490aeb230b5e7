#include "platform/process_control.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

// Room for one character past the title, so a longer title never reads as equal.
constexpr int kTitleBufferChars = static_cast<int>(std::size(kApplicationWindowTitle)) + 1;

// Identifiers of the running processes with the file name exeName.
std::vector<DWORD> ProcessIdsNamed(const std::wstring& exeName) {
  std::vector<DWORD> ids;
  UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, exeName.c_str(), -1, TRUE) == CSTR_EQUAL) {
      ids.push_back(entry.th32ProcessID);
    }
  }
  return ids;
}

struct CloseRequest {
  std::vector<DWORD> processIds;
  bool posted = false;
};

BOOL CALLBACK AskWindowToClose(HWND window, LPARAM context) {
  CloseRequest& request = *reinterpret_cast<CloseRequest*>(context);
  wchar_t title[kTitleBufferChars] = {};
  GetWindowTextW(window, title, kTitleBufferChars);
  if (wcscmp(title, kApplicationWindowTitle) != 0) return TRUE;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  const auto& ids = request.processIds;
  if (std::find(ids.begin(), ids.end(), processId) == ids.end()) return TRUE;
  if (PostMessageW(window, WM_CLOSE, 0, 0)) request.posted = true;
  return TRUE;
}

}  // namespace

bool IsProcessRunning(const std::wstring& exeName) { return !ProcessIdsNamed(exeName).empty(); }

bool RequestApplicationClose(const std::wstring& exeName) {
  CloseRequest request{ProcessIdsNamed(exeName)};
  if (request.processIds.empty()) return false;
  EnumWindows(AskWindowToClose, reinterpret_cast<LPARAM>(&request));
  return request.posted;
}

}  // namespace zavex
