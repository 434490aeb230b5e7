#include "app/install_location.h"

#include <shlobj.h>

#include "platform/file_system.h"

namespace zavex {
namespace {

bool FolderHoldsManifest(const std::wstring& folder) {
  return IsExistingFile(folder + L"\\manifest.json");
}

}  // namespace

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
  wchar_t buffer[kMaxPathChars] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return L"C:\\Program Files";
  }
  return buffer;
}

std::wstring GetDefaultInstallFolder() {
  return GetProgramFilesFolder() + L"\\ZavexPhone";
}

bool CheckInstallFolder(const std::wstring& folder, std::wstring& error) {
  if (folder.size() <= kMaxInstallFolderChars) return true;
  error = L"O caminho da pasta de instalação tem mais de " +
          std::to_wstring(kMaxInstallFolderChars) +
          L" caracteres. Escolha uma pasta com um caminho mais curto.";
  return false;
}

OperationMode GetOperationMode(const CommandLineArgs& args) {
  if (args.mode != INSTALLER) return args.mode;
  if (FolderHoldsManifest(GetExecutableFolder())) return UPDATER;
  if (FolderHoldsManifest(GetDefaultInstallFolder())) return UPDATER;
  return INSTALLER;
}

std::wstring GetInstallPath(const CommandLineArgs& args) {
  if (!args.installPath.empty()) return args.installPath;
  const std::wstring executableFolder = GetExecutableFolder();
  if (FolderHoldsManifest(executableFolder)) return executableFolder;
  return GetDefaultInstallFolder();
}

}  // namespace zavex
