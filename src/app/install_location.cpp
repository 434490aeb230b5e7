#include "app/install_location.h"

#include <shlobj.h>

#include "app/logger.h"
#include "platform/file_system.h"
#include "platform/folder_security.h"
#include "platform/registration.h"

namespace zavex {
namespace {

bool FolderHoldsManifest(const std::wstring& folder) {
  return IsExistingFile(folder + L"\\manifest.json");
}

// A record beside the executable makes its folder the installation only when
// this account registered that folder, or no one but administrators can
// change it: anyone may put a record beside a copy in their Downloads.
bool ExecutableFolderIsInstallation() {
  const std::wstring folder = GetExecutableFolder();
  if (!FolderHoldsManifest(folder)) return false;
  if (IsSamePath(folder, RegisteredInstallLocation(L"Zavex Phone")) ||
      OnlyAdministratorsCanChange(folder)) {
    return true;
  }
  Logger::Instance().Warn(
      "Not an installation: the executable's folder holds manifest.json, but it is not the "
      "registered installation and others than administrators can change it");
  return false;
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
  if (ExecutableFolderIsInstallation()) return UPDATER;
  if (FolderHoldsManifest(GetDefaultInstallFolder())) return UPDATER;
  return INSTALLER;
}

std::wstring GetInstallPath(const CommandLineArgs& args) {
  if (!args.installPath.empty()) return args.installPath;
  if (ExecutableFolderIsInstallation()) return GetExecutableFolder();
  return GetDefaultInstallFolder();
}

}  // namespace zavex
