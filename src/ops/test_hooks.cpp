#include "ops/test_hooks.h"

#include "platform/file_system.h"

namespace zavex {

#ifdef ZAVEX_TEST_HOOKS
bool IsTrustedFolderForTests(const std::wstring& folder) {
  wchar_t named[kMaxPathChars] = {};
  DWORD bytes = sizeof(named);
  return RegGetValueW(HKEY_LOCAL_MACHINE, kTestHooksKey, L"TrustedFolder", RRF_RT_REG_SZ, nullptr,
                      named, &bytes) == ERROR_SUCCESS &&
         IsSamePath(folder, named);
}

DWORD PlacingPauseForTestsMs() {
  DWORD pauseMs = 0;
  DWORD bytes = sizeof(pauseMs);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kTestHooksKey, L"PlacingPauseMs", RRF_RT_REG_DWORD, nullptr,
                   &pauseMs, &bytes) != ERROR_SUCCESS) {
    return 0;
  }
  return pauseMs;
}
#else
bool IsTrustedFolderForTests(const std::wstring&) { return false; }

DWORD PlacingPauseForTestsMs() { return 0; }
#endif

}  // namespace zavex
