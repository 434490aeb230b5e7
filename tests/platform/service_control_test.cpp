#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace zavex {
namespace {

// Wine's service manager answers every service's security with an empty list
// of its own, so the descriptor that registration stores is checked here.
TEST(ServiceControl, DescriptorLetsInteractiveUsersOnlyStartAndQuery) {
  const UniqueLocalMemory descriptor = ServiceDescriptor();
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
  const std::pair<WELL_KNOWN_SID_TYPE, ACCESS_MASK> expected[] = {
      {WinBuiltinAdministratorsSid, SERVICE_ALL_ACCESS},
      {WinLocalSystemSid, SERVICE_ALL_ACCESS},
      {WinInteractiveSid, SERVICE_START | SERVICE_QUERY_STATUS}};
  ASSERT_EQ(acl->AceCount, std::size(expected));
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(acl, index, &entry));
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Mask, expected[index].second);
    EXPECT_TRUE(IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), expected[index].first));
  }
}

}  // namespace
}  // namespace zavex
