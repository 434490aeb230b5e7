#include "platform/folder_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

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

// On a folder above: whoever holds one can move the folder below away (or
// grant themselves that) and put another in its place.
constexpr ACCESS_MASK kReplacingRights =
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
// A volume's root cannot be moved: deleting it is no right to fear.
constexpr ACCESS_MASK kReplacingRightsOnRoot = kReplacingRights & ~DELETE;

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

// Whether the entry grants one of rights to someone other than the
// administrative accounts: on the object itself, or, with passedOn, on the
// files and folders created below it. CREATOR OWNER stands for whoever
// creates there, who is an administrator when no one else may.
bool EntryGrantsOthers(const ACE_HEADER* header, ACCESS_MASK rights, bool passedOn) {
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
  if (header->AceFlags & INHERIT_ONLY_ACE) {
    if (!passedOn || !(header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))) {
      return false;
    }
  }
  const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  if (!(allowed->Mask & rights)) return false;
  const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
  return !IsWellKnown(sid, WinCreatorOwnerSid) && !IsAdministrative(sid);
}

bool OwnerAndListGrantNoOther(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights,
                              bool passedOn) {
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
    if (EntryGrantsOthers(static_cast<const ACE_HEADER*>(entry), rights, passedOn)) return false;
  }
  return true;
}

// The folders above folder up to its volume's root, nearest first; empty
// when the root cannot be found or folder is one.
std::vector<std::wstring> FoldersAbove(const std::wstring& folder) {
  const std::wstring full = FullPathOf(folder);
  wchar_t root[kMaxPathChars] = {};
  if (full.empty() || !GetVolumePathNameW(full.c_str(), root, kMaxPathChars)) return {};
  const std::wstring rootPath = FullPathOf(root);
  std::vector<std::wstring> above;
  for (std::wstring current = full; current.size() > rootPath.size();) {
    current = ParentFolderOf(current);
    above.push_back(current.size() > rootPath.size() ? current : rootPath);
  }
  return above;
}

UniqueLocalMemory ReadFolderDescriptor(const std::wstring& folder) {
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return {};
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  return UniqueLocalMemory(descriptor);
}

}  // namespace

bool DescriptorLetsOnlyAdministratorsChange(PSECURITY_DESCRIPTOR descriptor) {
  return OwnerAndListGrantNoOther(descriptor, kChangingRights, true);
}

bool DescriptorLetsOnlyAdministratorsReplaceEntries(PSECURITY_DESCRIPTOR descriptor,
                                                    bool isVolumeRoot) {
  return OwnerAndListGrantNoOther(
      descriptor, isVolumeRoot ? kReplacingRightsOnRoot : kReplacingRights, false);
}

bool OnlyAdministratorsCanChangeWith(const std::wstring& folder,
                                     const FolderDescriptorReader& read) {
  const UniqueLocalMemory own = read(folder);
  if (!own || !DescriptorLetsOnlyAdministratorsChange(own.get())) return false;
  const std::vector<std::wstring> above = FoldersAbove(folder);
  if (above.empty()) return false;
  for (size_t index = 0; index < above.size(); ++index) {
    const UniqueLocalMemory descriptor = read(above[index]);
    const bool isVolumeRoot = index + 1 == above.size();
    if (!descriptor ||
        !DescriptorLetsOnlyAdministratorsReplaceEntries(descriptor.get(), isVolumeRoot)) {
      return false;
    }
  }
  return true;
}

bool OnlyAdministratorsCanChange(const std::wstring& folder) {
  return OnlyAdministratorsCanChangeWith(folder, ReadFolderDescriptor);
}

UniqueLocalMemory ProtectedInstallationDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedInstallationSddl, SDDL_REVISION_1,
                                                       &descriptor, nullptr);
  return UniqueLocalMemory(descriptor);
}

FolderCreation CreateProtectedFolder(const std::wstring& path) {
  const UniqueLocalMemory descriptor = ProtectedInstallationDescriptor();
  const std::wstring folder = FullPathOf(path);
  if (!descriptor || folder.empty()) return FolderCreation::kFailed;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  if (CreateDirectoryW(folder.c_str(), &attributes)) return FolderCreation::kCreated;
  if (GetLastError() == ERROR_PATH_NOT_FOUND &&
      CreateDirectoryRecursive(ParentFolderOf(folder), descriptor.get()) &&
      CreateDirectoryW(folder.c_str(), &attributes)) {
    return FolderCreation::kCreated;
  }
  return GetLastError() == ERROR_ALREADY_EXISTS ? FolderCreation::kExisted
                                                : FolderCreation::kFailed;
}

}  // namespace zavex
