#pragma once

#include <string>

namespace zavex::test {

// A new empty folder under %TEMP%, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::wstring& path() const { return folder; }
  std::wstring operator/(const std::wstring& name) const { return folder + L"\\" + name; }

 private:
  std::wstring folder;
};

bool WriteTextFile(const std::wstring& path, const std::string& bytes);
// Empty when the file cannot be read.
std::string ReadTextFile(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
// Deletes a tree with the shell-free file APIs; true when nothing is left.
bool DeleteTree(const std::wstring& path);
// Copies the built updater into folder and returns the copy's path, so the
// run's log lands in that folder.
std::wstring CopyUpdaterTo(const std::wstring& folder);

}  // namespace zavex::test
