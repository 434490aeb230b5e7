#include "platform/held_executable.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "platform/file_system.h"
#include "support/test_files.h"

namespace zavex {
namespace {

std::wstring RunningExecutable() {
  wchar_t path[kMaxPathChars] = {};
  GetModuleFileNameW(nullptr, path, kMaxPathChars);
  return path;
}

// A byte-for-byte copy is another file: only the one Windows mapped as this
// process's image is held and copied. Wine names the mapping by its path at
// the start, so a file put in its place later cannot be shown here.
TEST(HeldExecutable, OnlyTheFileMappedAsThisProcessIsHeld) {
  test::TempDir temp;
  const std::wstring self = RunningExecutable();
  const std::wstring copy = temp / L"copy.exe";
  const std::wstring target = temp / L"zavex_updater.exe";
  ASSERT_TRUE(CopyFileW(self.c_str(), copy.c_str(), TRUE));
  EXPECT_FALSE(HoldExecutable(copy));
  EXPECT_FALSE(CopyHeldExecutableTo(target));

  ASSERT_TRUE(HoldExecutable(self));
  EXPECT_TRUE(CopyHeldExecutableTo(target));
  EXPECT_EQ(test::ReadTextFile(target), test::ReadTextFile(self));
  EXPECT_TRUE(StopHoldingIfAt(self));
}

}  // namespace
}  // namespace zavex
