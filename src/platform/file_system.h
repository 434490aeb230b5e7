#pragma once

#include <string>

namespace zavex {

// Size of the buffers handed to the module-path and shell-folder APIs.
inline constexpr unsigned long kMaxPathChars = 260;

// What names one file or folder whatever its path: its volume's serial
// number and its index there. A rename keeps it; an entry put in another's
// place has its own.
struct FileIdentity {
  unsigned long volumeSerial = 0;
  unsigned long long fileIndex = 0;

  bool operator==(const FileIdentity& other) const {
    return volumeSerial == other.volumeSerial && fileIndex == other.fileIndex;
  }
};

// The identity of the open file or folder; false when it cannot be read.
bool IdentityOfOpenFile(void* handle, FileIdentity& identity);

// The identity of the folder at path, itself when it is a link; false when
// there is no folder there or it cannot be read.
bool IdentityOfFolder(const std::wstring& path, FileIdentity& identity);

// The shell folder that csidl names (CSIDL_PROGRAMS, ...); empty when the
// shell cannot name it.
std::wstring ShellFolderPath(int csidl);

// The path up to its last "\" or "/"; empty when it has none.
std::wstring ParentFolderOf(const std::wstring& path);

// True when the folder was created or an entry of that name already exists;
// missing parent folders are created first, each with descriptor when given.
bool CreateDirectoryRecursive(const std::wstring& path, void* descriptor = nullptr);

// The full path as Windows resolves it ("." segments, "/", trailing dots and
// separators resolved; a root keeps its separator); empty when it cannot.
std::wstring FullPathOf(const std::wstring& path);

bool RemoveFile(const std::wstring& path);

// True when path exists and is not a folder.
bool IsExistingFile(const std::wstring& path);

// True when both paths name one file as Windows resolves names: the same full
// path ("." segments, "/", trailing dots and separators resolved) in any
// letter case.
bool IsSamePath(const std::wstring& first, const std::wstring& second);

// Writes the file's cached data through to the disk; true when it did.
bool FlushFileToDisk(const std::wstring& path);

// Deletes everything it can below path, then path itself; true when path is
// gone. Links are removed as links, never entered; a path that is itself a
// link is refused (RemoveTreeWithoutFollowingLinks).
bool RemoveDirectoryRecursive(const std::wstring& path);

// Creates or truncates the file; true when every byte was written and
// flushed to the disk.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// The folder name in the current user's Start menu programs folder. True when
// it was created or already exists.
bool CreateStartMenuFolder(const std::wstring& name);

// Deletes the files directly inside the Start menu folder, then the folder;
// true when the folder is gone.
bool RemoveStartMenuFolder(const std::wstring& name);

}  // namespace zavex
