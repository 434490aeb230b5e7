#include "platform/link_safe_removal.h"

#include <windows.h>

#include <vector>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

bool IsLink(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The entry itself, never what a link leads to. Without delete sharing, so
// that neither it nor a folder above it can be renamed while it is open.
UniqueFile OpenEntryItself(const std::wstring& path) {
  return UniqueFile(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
}

DWORD AttributesOf(HANDLE entry) {
  FILE_BASIC_INFO info = {};
  if (!GetFileInformationByHandleEx(entry, FileBasicInfo, &info, sizeof(info))) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return info.FileAttributes;
}

// Gone once the handle closes.
bool MarkForDeletion(HANDLE entry) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(entry, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

bool RemoveOpenFolderContents(HANDLE folder, const std::wstring& path);

// listedAttributes: what the folder's listing said, a second opinion on
// links for file systems that open the target despite the flag.
bool RemoveEntry(const std::wstring& path, DWORD listedAttributes) {
  const UniqueFile entry = OpenEntryItself(path);
  if (!entry) return false;
  const DWORD attributes = AttributesOf(entry.get());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool link = IsLink(attributes) || IsLink(listedAttributes);
  if (!link && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !RemoveOpenFolderContents(entry.get(), path)) {
    return false;
  }
  return MarkForDeletion(entry.get());
}

// Every entry of the open folder at path, listed through its handle; true
// when all are gone, otherwise GetLastError gives the first failure's code.
bool RemoveOpenFolderContents(HANDLE folder, const std::wstring& path) {
  std::vector<unsigned char> buffer(64 * 1024);
  bool removedAll = true;
  DWORD firstError = ERROR_SUCCESS;
  for (auto kind = FileIdBothDirectoryRestartInfo;
       GetFileInformationByHandleEx(folder, kind, buffer.data(), static_cast<DWORD>(buffer.size()));
       kind = FileIdBothDirectoryInfo) {
    for (size_t offset = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
      const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L".." &&
          !RemoveEntry(path + L"\\" + name, entry->FileAttributes) && removedAll) {
        firstError = GetLastError();
        removedAll = false;
      }
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
  }
  if (GetLastError() != ERROR_NO_MORE_FILES) return false;
  if (!removedAll) SetLastError(firstError);
  return removedAll;
}

}  // namespace

bool RemoveTreeWithoutFollowingLinks(const std::wstring& folder) {
  // A trailing separator would name what a link at the top leads to.
  const std::wstring path = folder.substr(0, folder.find_last_not_of(L"\\/") + 1);
  const UniqueFile top = OpenEntryItself(path);
  if (!top) return false;
  const DWORD attributes = AttributesOf(top.get());
  if (IsLink(attributes) || IsLink(GetFileAttributesW(path.c_str())) ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_DIRECTORY);  // not a folder of its own
    return false;
  }
  return RemoveOpenFolderContents(top.get(), path) && MarkForDeletion(top.get());
}

bool PathCrossesLink(const std::wstring& root, const std::wstring& path) {
  for (size_t separator = path.find_first_of(L"\\/", root.size() + 1);;
       separator = path.find_first_of(L"\\/", separator + 1)) {
    if (IsLink(GetFileAttributesW(path.substr(0, separator).c_str()))) return true;
    if (separator == std::wstring::npos) return false;
  }
}

}  // namespace zavex
