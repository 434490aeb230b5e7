#include "platform/folder_security.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/file_system.h"

namespace zavex {
namespace {

// Owner implied by the creator; Administrators and SYSTEM full control
// (0x1F01FF), Users read and execute (0x1200A9); "P": protected.
constexpr wchar_t kProtectedInstallationSddl[] =
    L"D:P(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1200a9;;;BU)";

constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return sid && IsValidSid(sid) && IsWellKnownSid(sid, type);
}

bool IsTrustedInstaller(PSID sid) {
  PSID trustedInstaller = nullptr;
  if (!ConvertStringSidToSidW(
          L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &trustedInstaller)) {
    return false;
  }
  const UniqueLocalMemory owned(trustedInstaller);
  return EqualSid(sid, trustedInstaller) != FALSE;
}

bool IsAdministrative(PSID sid) {
  return IsWellKnown(sid, WinBuiltinAdministratorsSid) || IsWellKnown(sid, WinLocalSystemSid) ||
         (sid && IsValidSid(sid) && IsTrustedInstaller(sid));
}

// Whether the entry lets someone other than the administrative accounts
// change the object itself.
bool EntryLetsOthersChange(const ACE_HEADER* header) {
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
  if (header->AceFlags & INHERIT_ONLY_ACE) return false;
  const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  if (!(allowed->Mask & kChangingRights)) return false;
  return !IsAdministrative(const_cast<DWORD*>(&allowed->SidStart));
}

}  // namespace

bool DescriptorLetsOnlyAdministratorsChange(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) || !IsAdministrative(owner)) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  // A missing or null access list lets everyone do everything.
  if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl) {
    return false;
  }
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(acl, index, &entry)) return false;
    if (EntryLetsOthersChange(static_cast<const ACE_HEADER*>(entry))) return false;
  }
  return true;
}

bool OnlyAdministratorsCanChange(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const UniqueLocalMemory owned(descriptor);
  return DescriptorLetsOnlyAdministratorsChange(descriptor);
}

UniqueLocalMemory ProtectedInstallationDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedInstallationSddl, SDDL_REVISION_1,
                                                       &descriptor, nullptr);
  return UniqueLocalMemory(descriptor);
}

bool CreateProtectedFolder(const std::wstring& path) {
  const UniqueLocalMemory descriptor = ProtectedInstallationDescriptor();
  return descriptor && CreateDirectoryRecursive(path, descriptor.get());
}

}  // namespace zavex
