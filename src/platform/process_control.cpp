#include "platform/process_control.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

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
  std::wstring windowTitle;
  std::vector<DWORD> processIds;
  bool posted = false;
};

BOOL CALLBACK AskWindowToClose(HWND window, LPARAM context) {
  CloseRequest& request = *reinterpret_cast<CloseRequest*>(context);
  // Room for one character past the title, so a longer title never reads as equal.
  std::wstring title(request.windowTitle.size() + 2, L'\0');
  title.resize(GetWindowTextW(window, title.data(), static_cast<int>(title.size())));
  if (title != request.windowTitle) return TRUE;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  const auto& ids = request.processIds;
  if (std::find(ids.begin(), ids.end(), processId) == ids.end()) return TRUE;
  if (PostMessageW(window, WM_CLOSE, 0, 0)) request.posted = true;
  return TRUE;
}

}  // namespace

bool IsProcessRunning(const std::wstring& exeName) { return !ProcessIdsNamed(exeName).empty(); }

bool RequestApplicationClose(const std::wstring& exeName, const std::wstring& windowTitle) {
  CloseRequest request{windowTitle, ProcessIdsNamed(exeName)};
  if (request.processIds.empty()) return false;
  EnumWindows(AskWindowToClose, reinterpret_cast<LPARAM>(&request));
  return request.posted;
}

}  // namespace zavex
