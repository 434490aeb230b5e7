#include "base/install_location.h"

#include <windows.h>
#include <shlobj.h>

namespace zavex {

std::wstring GetExecutablePath() {
  wchar_t buffer[kMaxPathChars] = {};
  GetModuleFileNameW(nullptr, buffer, kMaxPathChars);
  return buffer;
}

std::wstring GetExecutableFolder() {
  const std::wstring path = GetExecutablePath();
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(0, separator);
}

std::wstring GetProgramFilesFolder() {
  const std::wstring folder = ShellFolderPath(CSIDL_PROGRAM_FILES);
  return folder.empty() ? L"C:\\Program Files" : folder;
}

std::wstring GetDefaultInstallFolder() {
  return GetProgramFilesFolder() + L"\\" + kProductFolderName;
}

bool HoldsRecordFile(const std::wstring& folder) {
  return IsExistingFile(folder + L"\\" + kManifestFileName);
}

std::wstring InstalledUpdaterPath(const std::wstring& installFolder) {
  return installFolder + L"\\" + kUpdaterExeName;
}

bool CheckInstallFolder(const std::wstring& folder, std::wstring& error) {
  if (folder.size() <= kMaxInstallFolderChars) return true;
  error = L"O caminho da pasta de instalação tem mais de " +
          std::to_wstring(kMaxInstallFolderChars) +
          L" caracteres. Escolha uma pasta com um caminho mais curto.";
  return false;
}

}  // namespace zavex
