#include "platform/host_shell.h"

#include <windows.h>

#include "base/text_conversion.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

constexpr DWORD kShellTimeoutMs = 120000;
constexpr DWORD kPollMs = 20;

using UnixFileNameFunction = char* (*)(const wchar_t*);

UnixFileNameFunction WineUnixFileName() {
  FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
  return reinterpret_cast<UnixFileNameFunction>(reinterpret_cast<void*>(found));
}

// Wine's handle of a host process does not tell reliably when it ended or
// how, so the command leaves its exit status in a file that appears whole.
std::string WithStatusFile(const std::string& command, const std::string& statusFile) {
  const std::string partial = ShellQuoted(statusFile + ".partial");
  return "(" + command + "); echo $? > " + partial + " && mv " + partial + " " +
         ShellQuoted(statusFile);
}

// The text of path once it exists; empty after the time-out.
std::string WaitForFileText(const std::wstring& path) {
  const ULONGLONG deadline = GetTickCount64() + kShellTimeoutMs;
  while (!FileExists(path)) {
    if (GetTickCount64() >= deadline) return "";
    Sleep(kPollMs);
  }
  return ReadTextFile(path);
}

}  // namespace

std::string HostPathOf(const std::wstring& path) {
  const UnixFileNameFunction unixFileName = WineUnixFileName();
  if (!unixFileName) return "";
  char* converted = unixFileName(path.c_str());
  if (!converted) return "";
  std::string hostPath = converted;
  HeapFree(GetProcessHeap(), 0, converted);
  return hostPath;
}

bool RunHostShell(const std::string& command) {
  TempDir statusFolder;
  const std::wstring statusFile = statusFolder / L"status";
  const std::string hostStatusFile = HostPathOf(statusFile);
  if (hostStatusFile.empty()) return false;
  ChildProcess shell;
  const std::wstring arguments = L"-c \"" + Utf8ToWide(WithStatusFile(command, hostStatusFile)) + L"\"";
  if (!shell.Start(L"Z:\\bin\\sh", arguments)) return false;
  return WaitForFileText(statusFile) == "0\n";
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool CreateFolderLink(const std::wstring& link, const std::wstring& target) {
  CreateSymbolicLinkW(link.c_str(), target.c_str(),
                      SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  const auto isLink = [&link] {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  };
  if (isLink()) return true;
  const std::string hostTarget = HostPathOf(target);
  const std::string hostLink = HostPathOf(link);
  if (hostTarget.empty() || hostLink.empty()) return false;
  return RunHostShell("ln -s " + ShellQuoted(hostTarget) + " " + ShellQuoted(hostLink)) &&
         isLink();
}

}  // namespace zavex::test
