#pragma once

#include <windows.h>

#include <string>

namespace zavex {

// What the tests name under HKLM\SOFTWARE\Zavex Test, read by test builds
// (ZAVEX_TEST_HOOKS) only; the shipped build reads nothing there. Kept in the
// registry: the service manager starts the service, which inherits nothing
// from a test.
inline constexpr wchar_t kTestHooksKey[] = L"SOFTWARE\\Zavex Test";

// True when folder is the one named as "TrustedFolder": Wine reads every
// folder back as one that its user may change.
bool IsTrustedFolderForTests(const std::wstring& folder);

// "PlacingPauseMs": how long the placing waits before each swap, so that a
// test can end a run in the middle of it; 0 when not named.
DWORD PlacingPauseForTestsMs();

}  // namespace zavex
