#include "platform/service_control.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

namespace zavex {
namespace {

// Wine's service manager answers every service's security with an empty list
// of its own, so the descriptor that registration stores is read here, as
// text: protected; Administrators and SYSTEM every service right; interactive
// users only SERVICE_QUERY_STATUS (LC) and SERVICE_START (RP).
TEST(ServiceControl, DescriptorLetsInteractiveUsersOnlyStartAndQuery) {
  const UniqueLocalMemory descriptor = ServiceDescriptor();
  ASSERT_TRUE(descriptor);
  wchar_t* text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
  const UniqueLocalMemory ownedText(text);
  EXPECT_EQ(std::wstring(text),
            L"D:P(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)"
            L"(A;;LCRP;;;IU)");
}

}  // namespace
}  // namespace zavex
