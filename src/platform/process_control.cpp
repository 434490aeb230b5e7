#include "platform/process_control.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "platform/file_system.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

// Room for any image path Windows reports.
constexpr DWORD kImagePathChars = 32768;

// The full path of the process's image; empty when it cannot be read.
std::wstring ImagePathOf(DWORD processId) {
  UniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return L"";
  std::wstring path(kImagePathChars, L'\0');
  DWORD size = kImagePathChars;
  if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) return L"";
  path.resize(size);
  return path;
}

// Identifiers of the running processes whose image is exePath. The name in
// the snapshot picks the candidates, their image path decides.
std::vector<DWORD> ProcessIdsOf(const std::wstring& exePath) {
  std::vector<DWORD> ids;
  const std::wstring fileName = exePath.substr(exePath.find_last_of(L"\\/") + 1);
  UniqueSnapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, fileName.c_str(), -1, TRUE) == CSTR_EQUAL &&
        IsSamePath(ImagePathOf(entry.th32ProcessID), exePath)) {
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

bool IsProcessRunning(const std::wstring& exePath) { return !ProcessIdsOf(exePath).empty(); }

bool RequestApplicationClose(const std::wstring& exePath, const std::wstring& windowTitle) {
  CloseRequest request{windowTitle, ProcessIdsOf(exePath)};
  if (request.processIds.empty()) return false;
  EnumWindows(AskWindowToClose, reinterpret_cast<LPARAM>(&request));
  return request.posted;
}

}  // namespace zavex
