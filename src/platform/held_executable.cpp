#include "platform/held_executable.h"

#include <windows.h>

#include <mutex>

#include "platform/file_system.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr DWORD kCopyChunkBytes = 64 * 1024;

std::mutex heldMutex;  // the copy moves the held file's position
UniqueFile held;
std::wstring heldPath;

bool CopyAll(HANDLE from, HANDLE to) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(from, start, nullptr, FILE_BEGIN)) return false;
  static char buffer[kCopyChunkBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer, kCopyChunkBytes, &got, nullptr)) return false;
    if (got == 0) return FlushFileBuffers(to) != FALSE;
    DWORD written = 0;
    if (!WriteFile(to, buffer, got, &written, nullptr) || written != got) return false;
  }
}

}  // namespace

bool HoldExecutable(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(heldMutex);
  held.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  heldPath = held ? path : std::wstring();
  return static_cast<bool>(held);
}

bool StopHoldingIfAt(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(heldMutex);
  if (!held || !IsSamePath(path, heldPath)) return false;
  held.reset();
  heldPath.clear();
  return true;
}

bool CopyHeldExecutableTo(const std::wstring& target) {
  std::lock_guard<std::mutex> lock(heldMutex);
  if (!held) return false;
  const UniqueFile copy(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  return copy && CopyAll(held.get(), copy.get());
}

}  // namespace zavex
