#include <windows.h>

#include <gtest/gtest.h>

#include "base/install_location.h"
#include "base/text_conversion.h"
#include "platform/unique_handle.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex {
namespace {

using test::ChildProcess;

constexpr DWORD kRunTimeoutMs = 60000;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Entry : public testing::Test {
 protected:
  void SetUp() override {
    exe = test::CopyUpdaterTo(dir.path());
    ASSERT_FALSE(exe.empty());
  }
  std::string Log() const { return test::ReadTextFile(dir / L"zavex_updater.log"); }

  test::TempDir dir;
  std::wstring exe;
};

TEST_F(Entry, UninstallDeclinedChangesNothing) {
  const std::wstring installFolder = dir / L"inst";
  CreateDirectoryW(installFolder.c_str(), nullptr);
  ASSERT_TRUE(test::WriteTextFile(installFolder + L"\\manifest.json", "{}"));
  const std::wstring arguments = L"--uninstall --path=" + installFolder;

  ChildProcess child;
  ASSERT_TRUE(child.Start(exe, arguments));
  HWND box = test::WaitForMessageBox(child.id(), L"Confirmar Desinstalação");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(test::GetMessageBoxText(box), L"Tem certeza que deseja desinstalar o Zavex Phone?");
  EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
  ASSERT_TRUE(test::AnswerMessageBox(box, IDNO));
  EXPECT_EQ(child.Wait(kRunTimeoutMs), std::optional<DWORD>(0));

  EXPECT_TRUE(test::FileExists(installFolder + L"\\manifest.json"));
  const std::string log = Log();
  EXPECT_NE(log.find("[INFO] === ZAVEX Updater Started ===\r\n"), std::string::npos);
  EXPECT_NE(log.find("[INFO] Command line: " + WideToUtf8(arguments) + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("[INFO] Exe path: " + WideToUtf8(exe) + "\r\n"), std::string::npos);
  EXPECT_NE(log.find("[INFO] Operation mode: UNINSTALLER\r\n"), std::string::npos);
  EXPECT_NE(log.find("[INFO] Install path: " + WideToUtf8(installFolder) + "\r\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(log, "[INFO] === ZAVEX Updater Finished with result: 0 ===\r\n")) << log;
}

// Every line reaches the file as it is written: a run killed while it waits
// for the user has already logged how it started.
TEST_F(Entry, KilledWhileWaitingForTheUserTheLogHoldsHowItStarted) {
  struct Case {
    const char* name;
    std::wstring arguments;
    bool besideARecord;
    const char* mode;
    std::wstring installPath;
  };
  const Case cases[] = {
      {"no switches", L"", false, "INSTALLER", GetDefaultInstallFolder()},
      {"no switches beside a record", L"", true, "UPDATER", dir.path()},
      {"uninstall question open", L"--uninstall", true, "UNINSTALLER", dir.path()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW((dir / L"zavex_updater.log").c_str());
    DeleteFileW((dir / L"manifest.json").c_str());
    if (c.besideARecord) {
      ASSERT_TRUE(test::WriteTextFile(dir / L"manifest.json", "{}"));
    }
    ChildProcess child;
    ASSERT_TRUE(child.Start(exe, c.arguments));
    ASSERT_NE(test::WaitForWindow(child.id(), L"", L""), nullptr);
    child.Kill();

    const std::string log = Log();
    // An empty command line leaves nothing after the label.
    EXPECT_NE(log.find("[INFO] Command line: " + WideToUtf8(c.arguments) + "\r\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find(std::string("[INFO] Operation mode: ") + c.mode + "\r\n"),
              std::string::npos) << log;
    EXPECT_NE(log.find("[INFO] Install path: " + WideToUtf8(c.installPath) + "\r\n"),
              std::string::npos) << log;
    EXPECT_EQ(log.find("Finished with result"), std::string::npos);
  }
}

TEST_F(Entry, InstallationBesideTheExecutableIsTheInstallPath) {
  ASSERT_TRUE(test::WriteTextFile(dir / L"manifest.json", "{}"));
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe, L"--uninstall"));
  HWND box = test::WaitForMessageBox(child.id(), L"Confirmar Desinstalação");
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(test::AnswerMessageBox(box, IDNO));
  EXPECT_EQ(child.Wait(kRunTimeoutMs), std::optional<DWORD>(0));
  EXPECT_NE(Log().find("[INFO] Install path: " + WideToUtf8(dir.path()) + "\r\n"), std::string::npos);
}

TEST_F(Entry, SelfUpdateCopiesOverTheInstalledUpdater) {
  const std::wstring installFolder = dir / L"inst";
  CreateDirectoryW(installFolder.c_str(), nullptr);
  const std::wstring target = installFolder + L"\\zavex_updater.exe";
  ASSERT_TRUE(test::WriteTextFile(target, "old updater"));

  const test::RunResult run = test::RunProcess(exe, L"--self-update --path=" + installFolder,
                                               kRunTimeoutMs);
  ASSERT_TRUE(run.started);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(test::ReadTextFile(target), test::ReadTextFile(exe));
  EXPECT_TRUE(EndsWith(Log(), "[INFO] === ZAVEX Updater Finished with result: 0 ===\r\n"));
}

TEST_F(Entry, SelfUpdateGivesUpOnALockedTarget) {
  const std::wstring installFolder = dir / L"inst";
  CreateDirectoryW(installFolder.c_str(), nullptr);
  const std::wstring target = installFolder + L"\\zavex_updater.exe";
  ASSERT_TRUE(test::WriteTextFile(target, "old updater"));
  {
    UniqueFile lock(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    const ULONGLONG start = GetTickCount64();
    const test::RunResult run = test::RunProcess(exe, L"--self-update --path=" + installFolder,
                                                 kRunTimeoutMs);
    const ULONGLONG elapsed = GetTickCount64() - start;
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1u);
    // Eleven waits of half a second: a lower bound only, the machine may be slow.
    EXPECT_GE(elapsed, 5000u);
  }
  EXPECT_EQ(test::ReadTextFile(target), "old updater");
  const std::string log = Log();
  EXPECT_NE(log.find("[INFO] Operation mode: SELF_UPDATE\r\n"), std::string::npos);
  EXPECT_TRUE(EndsWith(log, "[INFO] === ZAVEX Updater Finished with result: 1 ===\r\n"));
}

TEST_F(Entry, RunsNormallyWhenTheLogCannotBeOpened) {
  // A folder in the log file's place makes every open fail.
  ASSERT_TRUE(CreateDirectoryW((dir / L"zavex_updater.log").c_str(), nullptr));
  const std::wstring installFolder = dir / L"inst";
  CreateDirectoryW(installFolder.c_str(), nullptr);

  const test::RunResult run = test::RunProcess(exe, L"--self-update --path=" + installFolder,
                                               kRunTimeoutMs);
  ASSERT_TRUE(run.started);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(test::FileExists(installFolder + L"\\zavex_updater.exe"));
  EXPECT_TRUE(test::FolderExists(dir / L"zavex_updater.log"));
}

}  // namespace
}  // namespace zavex
