#include "platform/process_control.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "support/process.h"
#include "support/test_files.h"

namespace zavex {
namespace {

constexpr DWORD kWaitMs = 20000;
// How long a stand-in that ignores the request is watched.
constexpr DWORD kIgnoredCloseWatchMs = 1500;

class ProcessControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyFileW((test::BuildDir() + L"\\zavexphone.exe").c_str(), exe.c_str(), FALSE));
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(exe.c_str(), namesake.c_str(), FALSE));
  }

  // Starts the stand-in and waits until its window is up.
  void StartStandIn(const std::wstring& arguments, bool withWindow = true) {
    ASSERT_TRUE(standIn.Start(exe, arguments));
    if (withWindow) {
      ASSERT_NE(test::WaitForWindow(standIn.id(), L"", L"Zavex Phone", kWaitMs), nullptr);
    } else {
      ASSERT_TRUE(WaitUntilRunning());
    }
  }

  // Starts exePath, a copy of the stand-in, and waits until its window is up.
  static void StartWithWindow(test::ChildProcess& process, const std::wstring& exePath) {
    ASSERT_TRUE(process.Start(exePath, L""));
    ASSERT_NE(test::WaitForWindow(process.id(), L"", L"Zavex Phone", kWaitMs), nullptr);
  }

  bool WaitUntilRunning() {
    for (int round = 0; round < 200; ++round) {
      if (IsProcessRunning(exe)) return true;
      Sleep(50);
    }
    return false;
  }

  test::TempDir temp;
  const std::wstring exe = temp / L"zavexphone.exe";
  // A program of the same name in another folder.
  const std::wstring elsewhere = temp / L"elsewhere";
  const std::wstring namesake = elsewhere + L"\\zavexphone.exe";
  test::ChildProcess standIn;
};

TEST_F(ProcessControlTest, FindsTheProcessByItsImagePathInAnyLetterCase) {
  test::ChildProcess other;
  StartWithWindow(other, namesake);
  EXPECT_FALSE(IsProcessRunning(exe));
  EXPECT_TRUE(IsProcessRunning(namesake));
  StartStandIn(L"");
  EXPECT_TRUE(IsProcessRunning(exe));
  std::wstring upper = exe;
  CharUpperW(upper.data());
  EXPECT_TRUE(IsProcessRunning(upper));
  EXPECT_TRUE(IsProcessRunning(temp / L"elsewhere\\..\\ZavexPhone.Exe"));
  // A bare name is a path in the current folder.
  EXPECT_FALSE(IsProcessRunning(L"zavexphone.exe"));
  EXPECT_FALSE(IsProcessRunning(temp / L"zavexphone"));
  EXPECT_FALSE(IsProcessRunning(temp / L"avexphone.exe"));
  standIn.Kill();
  EXPECT_FALSE(IsProcessRunning(exe));
  EXPECT_TRUE(IsProcessRunning(namesake));
}

TEST_F(ProcessControlTest, CloseRequestEndsTheApplication) {
  EXPECT_FALSE(RequestApplicationClose(exe, L"Zavex Phone"));
  StartStandIn(L"\"tel:+55 11 99999-0000\"");
  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(standIn.Wait(kWaitMs), std::optional<DWORD>(0));
  EXPECT_FALSE(IsProcessRunning(exe));
  EXPECT_FALSE(RequestApplicationClose(exe, L"Zavex Phone"));

  EXPECT_EQ(test::ReadTextFile(temp / L"zavexphone_cmdline.txt"),
            "\"" + std::string(exe.begin(), exe.end()) + "\" \"tel:+55 11 99999-0000\"\n");
}

TEST_F(ProcessControlTest, CloseRequestReachesOnlyTheApplicationsWindows) {
  // Other programs' windows with the same title, shown after the
  // application's: one of another name, one of the same name elsewhere.
  const std::wstring otherExe = temp / L"otherphone.exe";
  ASSERT_TRUE(CopyFileW(exe.c_str(), otherExe.c_str(), FALSE));
  StartStandIn(L"");
  test::ChildProcess other;
  StartWithWindow(other, otherExe);
  test::ChildProcess sameName;
  StartWithWindow(sameName, namesake);

  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(standIn.Wait(kWaitMs), std::optional<DWORD>(0));
  EXPECT_FALSE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(other.Wait(kIgnoredCloseWatchMs), std::nullopt);
  EXPECT_TRUE(sameName.running());

  // Two copies of the application: both are asked.
  StartStandIn(L"");
  test::ChildProcess second;
  StartWithWindow(second, exe);
  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(standIn.Wait(kWaitMs), std::optional<DWORD>(0));
  EXPECT_EQ(second.Wait(kWaitMs), std::optional<DWORD>(0));
  EXPECT_TRUE(other.running());
}

TEST_F(ProcessControlTest, DelayedCloseEndsLater) {
  StartStandIn(L"--close-delay=1000");
  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(standIn.Wait(kWaitMs), std::optional<DWORD>(0));
}

TEST_F(ProcessControlTest, IgnoredRequestLeavesTheApplicationRunning) {
  StartStandIn(L"--ignore-close");
  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(standIn.Wait(kIgnoredCloseWatchMs), std::nullopt);
  EXPECT_TRUE(IsProcessRunning(exe));
  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
}

TEST_F(ProcessControlTest, NoWindowMeansNoRequest) {
  StartStandIn(L"--no-window", false);
  EXPECT_FALSE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_TRUE(IsProcessRunning(exe));
}

TEST_F(ProcessControlTest, OptionsFileBesideTheProgramApplies) {
  ASSERT_TRUE(test::WriteTextFile(temp / L"zavexphone.options", "--ignore-close\n"));
  StartStandIn(L"");
  EXPECT_TRUE(RequestApplicationClose(exe, L"Zavex Phone"));
  EXPECT_EQ(standIn.Wait(kIgnoredCloseWatchMs), std::nullopt);
}

}  // namespace
}  // namespace zavex
