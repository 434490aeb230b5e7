#include "app/self_update.h"

#include <windows.h>

#include "base/install_location.h"
#include "platform/held_executable.h"

namespace zavex {
namespace {

constexpr int kCopyAttempts = 10;
constexpr DWORD kRetryDelayMs = 500;

}  // namespace

int RunSelfUpdate(const std::wstring& installPath) {
  const std::wstring target = InstalledUpdaterPath(installPath);
  Sleep(kRetryDelayMs);
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    if (CopyHeldExecutableTo(target)) return 0;
    Sleep(kRetryDelayMs);
  }
  return 1;
}

}  // namespace zavex
