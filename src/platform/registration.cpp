#include "platform/registration.h"

#include <windows.h>

#include <utility>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr wchar_t kUninstallRoot[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kTelKey[] = L"Software\\Classes\\tel";
constexpr DWORD kEstimatedSizeKb = 300000;

// One create-or-open, set and close cycle under HKEY_CURRENT_USER.
bool WriteRegistryValue(const std::wstring& subKey, const std::wstring& valueName, DWORD type,
                        const void* data, DWORD size) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                      &opened, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  UniqueKey key(opened);
  const wchar_t* name = valueName.empty() ? nullptr : valueName.c_str();
  return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
         ERROR_SUCCESS;
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

bool RegisterTelHandler(const std::wstring& exePath) {
  const std::wstring tel = kTelKey;
  return WriteRegistryString(tel, L"", L"URL:Tel Protocol") &&
         WriteRegistryString(tel, L"URL Protocol", L"") &&
         WriteRegistryString(tel + L"\\DefaultIcon", L"", exePath + L",0") &&
         WriteRegistryString(tel + L"\\shell\\open\\command", L"",
                             L"\"" + exePath + L"\" \"%1\"");
}

}  // namespace zavex
