#include "support/planted_dlls.h"

#include <windows.h>

#include <string>

#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

constexpr const wchar_t* kPlantedNames[] = {L"winhttp.dll", L"bcrypt.dll", L"uxtheme.dll",
                                            L"crypt32.dll", L"comctl32.dll"};

bool WineOverridesInEffect() {
  wchar_t overrides[4096] = {};
  const DWORD length = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 4096);
  return length < 4096 && std::wstring(overrides).find(ZAVEX_PLANTED_DLL_OVERRIDES) != std::wstring::npos;
}

}  // namespace

PlantedDlls::PlantedDlls(const std::wstring& plantFolder) : folder(plantFolder) {
  const std::wstring source = BuildDir() + L"\\planted_dll.dll";
  for (const wchar_t* name : kPlantedNames) {
    allPlanted = CopyFileW(source.c_str(), (folder + L"\\" + name).c_str(), FALSE) && allPlanted;
  }
  allPlanted = allPlanted && WineOverridesInEffect();
}

std::vector<std::wstring> PlantedDlls::Loaded() const {
  std::vector<std::wstring> loaded;
  for (const wchar_t* name : kPlantedNames) {
    if (FileExists(folder + L"\\" + name + L".loaded")) loaded.push_back(name);
  }
  return loaded;
}

}  // namespace zavex::test
