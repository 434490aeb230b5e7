#include "platform/link_safe_file.h"

#include <windows.h>

#include "platform/unique_handle.h"

namespace zavex {

bool ReadOpenedFileAsItself(HANDLE file, std::size_t maxBytes, std::string& bytes) {
  BY_HANDLE_FILE_INFORMATION information = {};
  LARGE_INTEGER size = {};
  if (!GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
      !GetFileSizeEx(file, &size) || size.QuadPart > static_cast<LONGLONG>(maxBytes)) {
    return false;
  }
  std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!text.empty() &&
      (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr) ||
       read != text.size())) {
    return false;
  }
  bytes = std::move(text);
  return true;
}

bool ReadSmallFileAsItself(const std::wstring& path, std::size_t maxBytes, std::string& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file && ReadOpenedFileAsItself(file.get(), maxBytes, bytes);
}

bool ReplaceFileAsItself(const std::wstring& path, const std::string& bytes) {
  const std::wstring tempPath = path + L".tmp";
  DeleteFileW(tempPath.c_str());
  UniqueFile file(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  const bool wrote =
      WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size() && FlushFileBuffers(file.get());
  file.reset();
  if (wrote && MoveFileExW(tempPath.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(tempPath.c_str());
  return false;
}

}  // namespace zavex
