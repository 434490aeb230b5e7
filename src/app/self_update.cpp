#include "app/self_update.h"

#include <windows.h>

#include "base/install_location.h"

namespace zavex {
namespace {

constexpr int kCopyAttempts = 10;
constexpr DWORD kRetryDelayMs = 500;

}  // namespace

int RunSelfUpdate(const std::wstring& installPath) {
  const std::wstring source = GetExecutablePath();
  const std::wstring target = InstalledUpdaterPath(installPath);
  Sleep(kRetryDelayMs);
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return 0;
    Sleep(kRetryDelayMs);
  }
  return 1;
}

}  // namespace zavex
