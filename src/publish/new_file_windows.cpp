#include <windows.h>
#include <sddl.h>

#include <vector>

#include "platform/unique_handle.h"
#include "publish/new_file.h"

namespace zavex {
namespace {

std::string LastErrorText() { return "Windows error " + std::to_string(GetLastError()); }

// The SID of the user that runs this process, as text; empty on failure.
std::wstring CurrentUserSid() {
  UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return L"";
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return L"";
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return L"";
  }
  const UniqueLocalMemory ownedText(text);
  return text;
}

// Protected from inheritance; full access for the current user alone.
bool CreateUserOnlyDescriptor(PSECURITY_DESCRIPTOR& descriptor) {
  const std::wstring sid = CurrentUserSid();
  const std::wstring sddl = L"D:P(A;;FA;;;" + sid + L")";
  return !sid.empty() && ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
}

}  // namespace

bool CreateNewFile(const std::filesystem::path& file, const std::string& bytes, bool onlyForUser,
                   std::string& error) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (onlyForUser && !CreateUserOnlyDescriptor(descriptor)) {
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
