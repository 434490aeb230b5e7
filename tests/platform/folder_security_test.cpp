#include "platform/folder_security.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "support/test_files.h"

namespace zavex {
namespace {

UniqueLocalMemory FromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
  return UniqueLocalMemory(descriptor);
}

// An absolute descriptor owned by Administrators with the given list;
// owner is kept alive by the caller.
SECURITY_DESCRIPTOR OwnedByAdministrators(PSID owner, PACL acl) {
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
  SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
  return descriptor;
}

TEST(FolderSecurity, OnlyAdministrativeOwnersAndWritersCount) {
  struct Case {
    const wchar_t* sddl;
    bool onlyAdministrators;
  };
  const Case cases[] = {
      // Program Files: TrustedInstaller owns it, Users and CREATOR OWNER (only
      // for what is created below) do not change the folder itself.
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
       L"D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
       L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
       true},
      {L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
      // A Downloads folder: its user owns it.
      {L"O:BUD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
      {L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", false},  // authenticated users modify
      {L"O:BAD:(A;OICI;FA;;;BA)(A;;0x2;;;BU)", false},           // Users add files
      {L"O:BAD:(A;OICI;FA;;;BA)(A;;WD;;;WD)", false},            // everyone changes the list
      // Only for what is created below, which is every file placed there.
      {L"O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;FA;;;BU)", false},
      {L"O:BAD:(A;OICI;FA;;;BA)(A;CIIO;0x6;;;AU)", false},  // subfolders get add-file rights
      {L"O:BAD:(A;OICI;FA;;;BA)(A;IO;FA;;;BU)", true},      // passed to nothing
      {L"O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;0x1200a9;;;BU)", true},  // files only readable
      {L"O:BAD:(A;OICI;FA;;;BA)(D;;FA;;;BU)", true},             // a denial
      {L"O:BA", false},                                          // no list at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sddl);
    const UniqueLocalMemory descriptor = FromSddl(c.sddl);
    ASSERT_TRUE(descriptor);
    EXPECT_EQ(DescriptorLetsOnlyAdministratorsChange(descriptor.get()), c.onlyAdministrators);
  }
  // A null list lets everyone do everything.
  const UniqueLocalMemory owned = FromSddl(L"O:BA");
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(owned.get(), &owner, &defaulted));
  SECURITY_DESCRIPTOR nullList = OwnedByAdministrators(owner, nullptr);
  EXPECT_FALSE(DescriptorLetsOnlyAdministratorsChange(&nullList));
}

// Wine keeps no access lists: a folder created with this descriptor reads
// back with one made from its Unix permission bits, so only the descriptor
// built is checked here, not the folder's list.
TEST(FolderSecurity, ProtectedInstallationDescriptorGrantsAdministratorsSystemAndUsersOnly) {
  const UniqueLocalMemory descriptor = ProtectedInstallationDescriptor();
  ASSERT_TRUE(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);

  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.get(), &present, &acl, &defaulted));
  ASSERT_TRUE(present && acl);
  struct Expected {
    WELL_KNOWN_SID_TYPE sid;
    ACCESS_MASK mask;
  };
  const Expected expected[] = {{WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                               {WinLocalSystemSid, FILE_ALL_ACCESS},
                               {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  ASSERT_EQ(acl->AceCount, std::size(expected));
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(acl, index, &entry));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(allowed->Mask, expected[index].mask);
    EXPECT_TRUE(IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), expected[index].sid));
  }

  // With the owner an elevated administrator's folder gets, no one else can
  // change it.
  PSID administrators = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"BA", &administrators));
  const UniqueLocalMemory ownedSid(administrators);
  SECURITY_DESCRIPTOR absolute = OwnedByAdministrators(administrators, acl);
  EXPECT_TRUE(DescriptorLetsOnlyAdministratorsChange(&absolute));
}

// The folder itself passes, then every folder above it up to the volume root
// must let no one else move it away.
TEST(FolderSecurity, EveryFolderAboveUpToTheRootMustKeepOthersFromReplacingIt) {
  // C:\ as Windows sets it up: Authenticated Users may add folders, and what
  // they create inherits modify rights; neither moves a folder away.
  const wchar_t* const driveRoot =
      L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
      L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
      L"(A;;LC;;;AU)";
  const wchar_t* const protectedFolder = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
  struct Case {
    const wchar_t* note;
    const wchar_t* folder;
    const wchar_t* apps;
    const wchar_t* root;
    bool onlyAdministrators;
  };
  const Case cases[] = {
      {L"protected all the way", protectedFolder, protectedFolder, driveRoot, true},
      {L"a parent that adds folders", protectedFolder,
       L"O:BAD:(A;OICI;FA;;;BA)(A;;0x4;;;AU)", driveRoot, true},
      {L"delete-child on the parent", protectedFolder,
       L"O:BAD:(A;OICI;FA;;;BA)(A;;0x40;;;AU)", driveRoot, false},
      {L"the parent can be renamed", protectedFolder,
       L"O:BAD:(A;OICI;FA;;;BA)(A;;SD;;;BU)", driveRoot, false},
      {L"Everyone changes the root's list", protectedFolder, protectedFolder,
       L"O:SYD:(A;OICI;FA;;;BA)(A;;WD;;;WD)", false},
      // A freshly formatted D:\: Authenticated Users modify, which moves no root.
      {L"modify on the root", protectedFolder, protectedFolder,
       L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;AU)", true},
      {L"modify on the parent", protectedFolder, L"O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)",
       driveRoot, false},
      {L"a user owns the parent", protectedFolder, L"O:BUD:(A;OICI;FA;;;BA)", driveRoot, false},
      {L"inherit-only rights on a parent", protectedFolder,
       L"O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;FA;;;AU)", driveRoot, true},
      {L"CREATOR OWNER on the folder", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)",
       protectedFolder, driveRoot, true},
      {L"Users OICIIO on the folder", L"O:BAD:P(A;OICI;FA;;;BA)(A;OICIIO;0x1301bf;;;BU)",
       protectedFolder, driveRoot, false},
      {L"unreadable parent", protectedFolder, nullptr, driveRoot, false},
  };
  const std::wstring folder = L"C:\\Apps\\Zavex Phone";
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.note);
    std::vector<std::wstring> asked;
    const auto read = [&](const std::wstring& path) {
      asked.push_back(path);
      const wchar_t* sddl = path == folder        ? c.folder
                            : path == L"C:\\Apps" ? c.apps
                            : path == L"C:\\"     ? c.root
                                                  : nullptr;
      return sddl ? FromSddl(sddl) : UniqueLocalMemory();
    };
    EXPECT_EQ(OnlyAdministratorsCanChangeWith(folder, read), c.onlyAdministrators);
    if (c.onlyAdministrators) {
      EXPECT_EQ(asked, (std::vector<std::wstring>{folder, L"C:\\Apps", L"C:\\"}));
    }
  }
}

TEST(FolderSecurity, ProtectedFolderIsCreatedWithEveryMissingLevel) {
  test::TempDir temp;
  const std::wstring deep = temp / L"Apps\\ZavexPhone";
  EXPECT_EQ(CreateProtectedFolder(deep), FolderCreation::kCreated);
  EXPECT_TRUE(test::FolderExists(deep));
  // Already there: the caller decides.
  EXPECT_EQ(CreateProtectedFolder(deep + L"\\"), FolderCreation::kExisted);
  ASSERT_TRUE(test::WriteTextFile(temp / L"file", "x"));
  EXPECT_EQ(CreateProtectedFolder(temp / L"file"), FolderCreation::kExisted);
  EXPECT_EQ(CreateProtectedFolder(temp / L"file\\below"), FolderCreation::kFailed);
  // A folder the test's user made is not one that only administrators can
  // change.
  EXPECT_FALSE(OnlyAdministratorsCanChange(temp.path()));
  // Nor, under Wine, the one made with the protected list: it reads back
  // owned by the user, with a list made from its Unix permission bits. On
  // Windows, made by an elevated administrator, only administrators could
  // change it, which Wine cannot show; so under Wine every existing folder
  // is one that others can change, as the installer's tests expect.
  EXPECT_FALSE(OnlyAdministratorsCanChange(deep));
}

}  // namespace
}  // namespace zavex
