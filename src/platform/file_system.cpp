#include "platform/file_system.h"

#include <windows.h>
#include <shlobj.h>

#include "platform/link_safe_removal.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

bool CreateOneDirectory(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool IsDotEntry(const WIN32_FIND_DATAW& entry) {
  const std::wstring name = entry.cFileName;
  return name == L"." || name == L"..";
}

// Calls visit(childPath, entry) for every entry of folder except "." and "..".
template <typename Visitor>
bool ForEachChild(const std::wstring& folder, Visitor&& visit) {
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!find) return false;
  do {
    if (!IsDotEntry(entry)) visit(folder + L"\\" + entry.cFileName, entry);
  } while (FindNextFileW(find.get(), &entry));
  return true;
}

// Programs folder, a backslash and name; empty when the shell cannot name it.
std::wstring StartMenuFolderPath(const std::wstring& name) {
  const std::wstring programs = ShellFolderPath(CSIDL_PROGRAMS);
  return programs.empty() ? std::wstring() : programs + L"\\" + name;
}

bool ReadIdentity(HANDLE handle, FileIdentity& identity, BY_HANDLE_FILE_INFORMATION& information) {
  if (!GetFileInformationByHandle(handle, &information)) return false;
  identity.volumeSerial = information.dwVolumeSerialNumber;
  identity.fileIndex =
      (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  return true;
}

}  // namespace

std::wstring ShellFolderPath(int csidl) {
  wchar_t buffer[kMaxPathChars] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return {};
  return buffer;
}

std::wstring ParentFolderOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

bool CreateDirectoryRecursive(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  SECURITY_ATTRIBUTES* const security = descriptor ? &attributes : nullptr;
  if (CreateDirectoryW(path.c_str(), security)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return true;
  if (error != ERROR_PATH_NOT_FOUND) return false;

  const size_t separator = path.find_last_of(L"\\/");
  const std::wstring parent = separator == std::wstring::npos ? path : path.substr(0, separator);
  if (parent.empty() || parent == path) return false;
  if (!CreateDirectoryRecursive(parent, descriptor)) return false;
  return CreateDirectoryW(path.c_str(), security) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool IdentityOfOpenFile(HANDLE handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION information;
  return ReadIdentity(handle, identity, information);
}

bool IdentityOfFolder(const std::wstring& path, FileIdentity& identity) {
  const UniqueFile folder(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  return folder && ReadIdentity(folder.get(), identity, information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FullPathOf(const std::wstring& path) {
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return L"";
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return L"";
  full.resize(written);
  // "C:\a\" and "C:\a" name one folder; "C:\" keeps its separator.
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  return full;
}

bool RemoveFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

bool IsExistingFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsSamePath(const std::wstring& first, const std::wstring& second) {
  const std::wstring firstFull = FullPathOf(first);
  const std::wstring secondFull = FullPathOf(second);
  return !firstFull.empty() &&
         CompareStringOrdinal(firstFull.c_str(), -1, secondFull.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool FlushFileToDisk(const std::wstring& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file && FlushFileBuffers(file.get());
}

bool RemoveDirectoryRecursive(const std::wstring& path) {
  return RemoveTreeWithoutFollowingLinks(path);
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const DWORD size = static_cast<DWORD>(bytes.size());
  DWORD written = 0;
  const bool wrote = WriteFile(file.get(), bytes.data(), size, &written, nullptr) != FALSE;
  return wrote && written == bytes.size() && FlushFileBuffers(file.get());
}

bool CreateStartMenuFolder(const std::wstring& name) {
  const std::wstring folder = StartMenuFolderPath(name);
  return !folder.empty() && CreateOneDirectory(folder);
}

bool RemoveStartMenuFolder(const std::wstring& name) {
  const std::wstring folder = StartMenuFolderPath(name);
  if (folder.empty()) return false;
  ForEachChild(folder, [](const std::wstring& child, const WIN32_FIND_DATAW&) {
    DeleteFileW(child.c_str());
  });
  return RemoveDirectoryW(folder.c_str()) != FALSE;
}

}  // namespace zavex
