#include "platform/manifest_file.h"

#include <windows.h>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

// A manifest of 100,000 files is about 20 MiB; larger files are refused
// rather than read whole into memory.
constexpr LONGLONG kMaxManifestFileBytes = 64LL * 1024 * 1024;

}  // namespace

Manifest LoadManifestFile(const std::wstring& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Manifest();
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart == 0 ||
      size.QuadPart >= kMaxManifestFileBytes) {
    return Manifest();
  }
  std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD bytesRead = 0;
  if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &bytesRead, nullptr)) {
    return Manifest();
  }
  text.resize(bytesRead);
  return ParseManifest(text);
}

}  // namespace zavex
