#include <windows.h>
#include <sddl.h>

#include "platform/unique_handle.h"
#include "publish/new_file.h"

namespace zavex {
namespace {

// Protected from inheritance; full access for the file's owner alone.
constexpr wchar_t kOwnerOnly[] = L"D:P(A;;FA;;;OW)";

std::string LastErrorText() { return "Windows error " + std::to_string(GetLastError()); }

}  // namespace

bool CreateNewFile(const std::filesystem::path& file, const std::string& bytes, bool onlyForUser,
                   std::string& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (onlyForUser && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         kOwnerOnly, SDDL_REVISION_1, &descriptor, nullptr)) {
    error = "cannot describe a file only the user may read: " + LastErrorText();
    return false;
  }
  const UniqueLocalMemory ownedDescriptor(descriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  UniqueFile created(CreateFileW(file.c_str(), GENERIC_WRITE, 0,
                                 onlyForUser ? &attributes : nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!created) {
    error = "cannot create " + file.u8string() + ": " + LastErrorText();
    return false;
  }
  DWORD written = 0;
  if (WriteFile(created.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size()) {
    return true;
  }
  error = "cannot write " + file.u8string() + ": " + LastErrorText();
  return false;
}

}  // namespace zavex
