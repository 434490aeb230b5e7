#pragma once

#include <string>
#include <vector>

namespace zavex::test {

// Copies of the built planted_dll.dll in folder under the names of the DLLs
// that the updater loads and that are not known DLLs.
class PlantedDlls {
 public:
  explicit PlantedDlls(const std::wstring& folder);

  // True when every copy is in place and Wine prefers such copies to its own
  // DLLs (the test's CTest entry sets ZAVEX_DLL_OVERRIDES, tests/CMakeLists.txt).
  bool planted() const { return allPlanted; }
  // The names of the copies that some program loaded.
  std::vector<std::wstring> Loaded() const;

 private:
  std::wstring folder;
  bool allPlanted = true;
};

}  // namespace zavex::test
