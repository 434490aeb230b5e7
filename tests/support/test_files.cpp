#include "support/test_files.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/unique_handle.h"
#include "support/process.h"

namespace zavex::test {
namespace {

std::wstring NewTempFolderPath() {
  wchar_t base[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, base);
  static LONG counter = 0;
  std::wstringstream name;
  name << base << L"zavex-test-" << GetCurrentProcessId() << L"-" << GetTickCount64() << L"-"
       << InterlockedIncrement(&counter);
  return name.str();
}

}  // namespace

TempDir::TempDir() : folder(NewTempFolderPath()) { CreateDirectoryW(folder.c_str(), nullptr); }

TempDir::~TempDir() { DeleteTree(folder); }

bool WriteTextFile(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadTextFile(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &entry));
  if (find) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      const bool isLink = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !isLink) {
        DeleteTree(child);
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(child.c_str());
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find.get(), &entry));
  }
  RemoveDirectoryW(path.c_str());
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::wstring CopyUpdaterTo(const std::wstring& folder) {
  const std::wstring copy = folder + L"\\zavex_updater.exe";
  return CopyFileW(UpdaterExePath().c_str(), copy.c_str(), FALSE) ? copy : std::wstring();
}

}  // namespace zavex::test
