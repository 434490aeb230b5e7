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

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

constexpr wchar_t kUninstallEntryKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zavex Phone";

class Entry : public testing::Test {
 protected:
  void SetUp() override {
    exe = test::CopyUpdaterTo(dir.path());
    ASSERT_FALSE(exe.empty());
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey);
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey); }

  // The folder as this account's installation, as the installer leaves it.
  void RegisterFolder() const {
    const std::wstring& folder = dir.path();
    RegSetKeyValueW(HKEY_CURRENT_USER, kUninstallEntryKey, L"InstallLocation", REG_SZ,
                    folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
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
    bool registered;
    const char* mode;
    std::wstring installPath;
  };
  // A record planted beside a copy in a folder that others can change (a
  // Downloads folder) makes no installation of it. Wine reads every folder
  // as changeable by its user, so a folder that only administrators can
  // change cannot be shown here.
  const Case cases[] = {
      {"no switches", L"", false, false, "INSTALLER", GetDefaultInstallFolder()},
      {"no switches beside a registered record", L"", true, true, "UPDATER", dir.path()},
      {"no switches beside a planted record", L"", true, false, "INSTALLER",
       GetDefaultInstallFolder()},
      {"uninstall question open", L"--uninstall", true, true, "UNINSTALLER", dir.path()},
      {"uninstall beside a planted record", L"--uninstall", true, false, "UNINSTALLER",
       GetDefaultInstallFolder()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW((dir / L"zavex_updater.log").c_str());
    DeleteFileW((dir / L"manifest.json").c_str());
    if (c.besideARecord) {
      ASSERT_TRUE(test::WriteTextFile(dir / L"manifest.json", "{}"));
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey);
    if (c.registered) RegisterFolder();
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
    EXPECT_EQ(Occurrences(log, "[WARN] Not an installation: the executable's folder holds "
                               "manifest.json"),
              c.besideARecord && !c.registered ? 1u : 0u) << log;
  }
}

TEST_F(Entry, InstallationBesideTheExecutableIsTheInstallPath) {
  ASSERT_TRUE(test::WriteTextFile(dir / L"manifest.json", "{}"));
  RegisterFolder();
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe, L"--uninstall"));
  HWND box = test::WaitForMessageBox(child.id(), L"Confirmar Desinstalação");
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(test::AnswerMessageBox(box, IDNO));
  EXPECT_EQ(child.Wait(kRunTimeoutMs), std::optional<DWORD>(0));
  EXPECT_NE(Log().find("[INFO] Install path: " + WideToUtf8(dir.path()) + "\r\n"), std::string::npos);
}

// Whoever can write to the folder it runs from (a Downloads folder) cannot
// rename or delete the running program to put another in its place before
// it copies itself; it can once the program has ended.
TEST_F(Entry, RunningExecutableCannotBeSwappedUntilItEnds) {
  ChildProcess child;
  ASSERT_TRUE(child.Start(exe, L""));
  ASSERT_NE(test::WaitForWindow(child.id(), L"", L""), nullptr);
  const std::wstring moved = exe + L".moved";
  EXPECT_FALSE(MoveFileW(exe.c_str(), moved.c_str()));
  EXPECT_FALSE(DeleteFileW(exe.c_str()));
  if (test::FileExists(moved)) MoveFileW(moved.c_str(), exe.c_str());
  child.Kill();
  ASSERT_TRUE(child.Wait(kRunTimeoutMs).has_value());
  EXPECT_TRUE(MoveFileW(exe.c_str(), moved.c_str()));
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
