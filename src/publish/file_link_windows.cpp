#include <windows.h>

#include "platform/unique_handle.h"
#include "publish/file_link.h"

namespace zavex {
namespace {

bool IsLinkAttribute(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool CopyAll(HANDLE from, HANDLE to) {
  char buffer[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer, sizeof(buffer), &got, nullptr)) return false;
    if (got == 0) return true;
    DWORD written = 0;
    if (!WriteFile(to, buffer, got, &written, nullptr) || written != got) return false;
  }
}

}  // namespace

bool IsLink(const std::filesystem::path& path) {
  return IsLinkAttribute(GetFileAttributesW(path.c_str()));
}

bool CopyWithoutFollowingLinks(const std::filesystem::path& source,
                               const std::filesystem::path& copy, bool& becameLink) {
  const UniqueFile from(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                    nullptr));
  FILE_BASIC_INFO info = {};
  const bool described =
      from && GetFileInformationByHandleEx(from.get(), FileBasicInfo, &info, sizeof(info));
  becameLink = described ? IsLinkAttribute(info.FileAttributes) : IsLink(source);
  if (!described || becameLink || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  const UniqueFile to(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  return to && CopyAll(from.get(), to.get());
}

}  // namespace zavex
