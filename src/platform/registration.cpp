#include "platform/registration.h"

#include <windows.h>

#include <utility>

#include "platform/file_system.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr wchar_t kUninstallRoot[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kTelKey[] = L"Software\\Classes\\tel";
constexpr wchar_t kTelCommandKey[] = L"Software\\Classes\\tel\\shell\\open\\command";
constexpr DWORD kEstimatedSizeKb = 300000;

// The registry functions return their error instead of setting it: a failure
// leaves it for the caller's GetLastError, as other Windows calls do.
bool Succeeded(LSTATUS status) {
  if (status == ERROR_SUCCESS) return true;
  SetLastError(static_cast<DWORD>(status));
  return false;
}

// One create-or-open, set and close cycle under HKEY_CURRENT_USER.
bool WriteRegistryValue(const std::wstring& subKey, const std::wstring& valueName, DWORD type,
                        const void* data, DWORD size) {
  UniqueKey key;
  if (!Succeeded(RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_WRITE,
                                 nullptr, key.put(), nullptr))) {
    return false;
  }
  const wchar_t* name = valueName.empty() ? nullptr : valueName.c_str();
  return Succeeded(
      RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size));
}

// A REG_SZ value of HKEY_CURRENT_USER\subKey; valueName null: the default value.
bool ReadString(const std::wstring& subKey, const wchar_t* valueName, std::wstring& data) {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName, RRF_RT_REG_SZ, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring text(bytes / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), valueName, RRF_RT_REG_SZ, nullptr, text.data(),
                   &bytes) != ERROR_SUCCESS) {
    return false;
  }
  text.resize(wcsnlen(text.c_str(), bytes / sizeof(wchar_t)));
  data = std::move(text);
  return true;
}

// The program that a shell command starts: its quoted first part, or the
// text up to the first blank.
std::wstring CommandProgram(const std::wstring& command) {
  if (!command.empty() && command[0] == L'"') return command.substr(1, command.find(L'"', 1) - 1);
  return command.substr(0, command.find(L' '));
}

bool WriteRegistryDword(const std::wstring& subKey, const std::wstring& valueName, DWORD data) {
  return WriteRegistryValue(subKey, valueName, REG_DWORD, &data, sizeof(data));
}

}  // namespace

bool WriteRegistryString(const std::wstring& subKey, const std::wstring& valueName,
                         const std::wstring& data) {
  const DWORD size = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  return WriteRegistryValue(subKey, valueName, REG_SZ, data.c_str(), size);
}

bool RegisterUninstallEntry(const std::wstring& keyName, const std::wstring& displayName,
                            const std::wstring& displayVersion, const std::wstring& publisher,
                            const std::wstring& installLocation,
                            const std::wstring& uninstallString, const std::wstring& displayIcon) {
  const std::wstring key = kUninstallRoot + keyName;
  const std::pair<const wchar_t*, const std::wstring*> strings[] = {
      {L"DisplayName", &displayName},         {L"DisplayVersion", &displayVersion},
      {L"Publisher", &publisher},             {L"InstallLocation", &installLocation},
      {L"UninstallString", &uninstallString}, {L"DisplayIcon", &displayIcon}};
  for (const auto& [name, value] : strings) {
    if (!WriteRegistryString(key, name, *value)) return false;
  }
  return WriteRegistryDword(key, L"EstimatedSize", kEstimatedSizeKb) &&
         WriteRegistryDword(key, L"NoModify", 1) && WriteRegistryDword(key, L"NoRepair", 1);
}

std::wstring RegisteredInstallLocation(const std::wstring& keyName) {
  std::wstring location;
  ReadString(kUninstallRoot + keyName, L"InstallLocation", location);
  return location;
}

bool RemoveUninstallEntry(const std::wstring& keyName) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, (kUninstallRoot + keyName).c_str());
  return status == ERROR_FILE_NOT_FOUND || Succeeded(status);
}

bool RegisterTelHandler(const std::wstring& exePath) {
  const std::wstring tel = kTelKey;
  return WriteRegistryString(tel, L"", L"URL:Tel Protocol") &&
         WriteRegistryString(tel, L"URL Protocol", L"") &&
         WriteRegistryString(tel + L"\\DefaultIcon", L"", exePath + L",0") &&
         WriteRegistryString(tel + L"\\shell\\open\\command", L"",
                             L"\"" + exePath + L"\" \"%1\"");
}

bool RemoveTelHandler(const std::wstring& exePath) {
  std::wstring command;
  if (!ReadString(kTelCommandKey, nullptr, command) || !IsSamePath(CommandProgram(command), exePath)) {
    return false;
  }
  return RegDeleteTreeW(HKEY_CURRENT_USER, kTelKey) == ERROR_SUCCESS;
}

}  // namespace zavex
