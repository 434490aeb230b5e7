#include "platform/held_executable.h"

#include <windows.h>
#include <psapi.h>

#include <mutex>

#include "platform/file_system.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr DWORD kCopyChunkBytes = 64 * 1024;
constexpr DWORD kMappedNameChars = 32 * 1024;

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

// A name of the kernel's namespace as CreateFileW takes it: Wine gives
// "\??\C:\...", Windows "\Device\HarddiskVolume3\...".
std::wstring OpenableKernelName(const std::wstring& name) {
  const std::wstring dosDevices = L"\\??\\";
  if (name.compare(0, dosDevices.size(), dosDevices) == 0) {
    return L"\\\\?\\" + name.substr(dosDevices.size());
  }
  return L"\\\\?\\GLOBALROOT" + name;
}

// The identity of the file mapped as this process's image, found by the
// name the kernel gives its mapping now.
bool IdentityOfRunningImage(FileIdentity& identity) {
  std::wstring name(kMappedNameChars, L'\0');
  const DWORD length = GetMappedFileNameW(GetCurrentProcess(), GetModuleHandleW(nullptr),
                                          name.data(), kMappedNameChars);
  if (length == 0 || length >= kMappedNameChars) return false;
  name.resize(length);
  const UniqueFile image(CreateFileW(OpenableKernelName(name).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return image && IdentityOfOpenFile(image.get(), identity);
}

bool IsRunningImage(HANDLE file) {
  FileIdentity opened;
  FileIdentity image;
  return IdentityOfOpenFile(file, opened) && IdentityOfRunningImage(image) && opened == image;
}

}  // namespace

bool HoldExecutable(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(heldMutex);
  held.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (held && !IsRunningImage(held.get())) held.reset();
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
