#include "ops/uninstall.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include "base/install_location.h"
#include "base/text_conversion.h"
#include "ops/release_fixture.h"
#include "ops/shortcut_locations.h"
#include "platform/host_shell.h"
#include "platform/service_control.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

class UninstallTest : public MachineStateTest {
 protected:
  void SetUp() override {
    MachineStateTest::SetUp();
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(InstallStandInRelease(server, folder));
    WriteRegistryRunValue();
  }

  static void WriteRegistryRunValue() {
    const wchar_t data[] = L"zavexphone.exe";
    RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Zavex Phone", REG_SZ, data, sizeof(data));
  }

  ::testing::AssertionResult NothingRemoved() const {
    if (!UserRegistryKeyExists(kUninstallKey)) return ::testing::AssertionFailure() << "entry";
    if (!FileExists(DesktopShortcutPath())) return ::testing::AssertionFailure() << "desktop";
    if (!FileExists(StartMenuShortcutPath())) return ::testing::AssertionFailure() << "menu";
    if (!FileExists(folder + L"\\manifest.json")) return ::testing::AssertionFailure() << "files";
    return ::testing::AssertionSuccess();
  }

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir temp;
  const std::wstring folder = temp / L"Zavex Phone";
};

TEST_F(UninstallTest, RemovesRegistrationShortcutsAndTheInstalledFolder) {
  const std::wstring startMenuFolder =
      StartMenuShortcutPath().substr(0, StartMenuShortcutPath().find_last_of(L'\\'));
  ASSERT_TRUE(FolderExists(startMenuFolder));
  ASSERT_NE(ServiceCommandLine(kUpdateServiceName), L"");
  std::wstring error;
  EXPECT_TRUE(Uninstall(folder, error));
  EXPECT_EQ(ServiceCommandLine(kUpdateServiceName), L"");
  EXPECT_EQ(error, L"");
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
  EXPECT_FALSE(UserRegistryKeyExists(L"Software\\Classes\\tel"));
  EXPECT_EQ(ReadUserRegistryString(kRunKey, L"Zavex Phone"), L"");
  EXPECT_FALSE(FileExists(DesktopShortcutPath()));
  EXPECT_FALSE(FolderExists(startMenuFolder));
  EXPECT_FALSE(FolderExists(folder));

  // Already removed: still succeeds.
  EXPECT_TRUE(Uninstall(folder, error));
}

TEST_F(UninstallTest, TelHandlerOfAnotherProgramStays) {
  const std::wstring otherCommand = L"\"C:\\Other Phone\\other.exe\" \"%1\"";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kTelCommandKey, nullptr, REG_SZ, otherCommand.c_str(),
                            static_cast<DWORD>((otherCommand.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  std::wstring error;
  EXPECT_TRUE(Uninstall(folder, error));
  EXPECT_EQ(ReadUserRegistryString(kTelCommandKey, L""), otherCommand);
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
  EXPECT_FALSE(FolderExists(folder));
}

TEST_F(UninstallTest, FolderWithoutAValidRecordKeepsEveryFile) {
  // No manifest.json, then those of other programs and one of this program
  // that is no valid record.
  const char* const foreignRecords[] = {
      nullptr,
      R"({"name": "Agenda", "short_name": "Agenda", "start_url": "/", "display": "standalone"})",
      R"({"manifest_version": 3, "name": "Bloqueador", "version": "1.2.0"})",
      R"({"version": "1.0.0", "versionCode": 1, "files": []})",
      ""};
  for (const char* record : foreignRecords) {
    SCOPED_TRACE(record ? record : "no manifest.json");
    ASSERT_TRUE(InstallStandInRelease(server, folder));  // registration and shortcuts again
    TempDir userFolder;
    WriteTextFile(userFolder / L"document.txt", "precious");
    if (record) WriteTextFile(userFolder / L"manifest.json", record);
    std::wstring error;
    EXPECT_TRUE(Uninstall(userFolder.path(), error));
    EXPECT_EQ(ReadTextFile(userFolder / L"document.txt"), "precious");
    if (record) EXPECT_EQ(ReadTextFile(userFolder / L"manifest.json"), record);
    EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
    EXPECT_FALSE(FileExists(DesktopShortcutPath()));
    EXPECT_FALSE(FileExists(StartMenuShortcutPath()));
  }
  std::wstring error;

  // The default folder is the program's own even without a record.
  const std::wstring defaultFolder = GetDefaultInstallFolder();
  ASSERT_TRUE(CreateDirectoryW(defaultFolder.c_str(), nullptr));
  WriteTextFile(defaultFolder + L"\\zavexphone.exe", "app");
  EXPECT_TRUE(Uninstall(defaultFolder + L"\\", error));
  EXPECT_FALSE(FolderExists(defaultFolder));
}

TEST_F(UninstallTest, LinksLeaveTheFilesTheyLeadToAlone) {
  TempDir foreign;
  WriteTextFile(foreign / L"precious.txt", "precious");
  if (!CreateFolderLink(folder + L"\\data", foreign.path())) {
    GTEST_SKIP() << "folder links cannot be made here";
  }
  std::wstring error;
  EXPECT_TRUE(Uninstall(folder, error));
  EXPECT_EQ(ReadTextFile(foreign / L"precious.txt"), "precious");
  EXPECT_FALSE(FileExists(folder + L"\\zavexphone.exe"));

  // An installation folder that is itself a link: refused whole, what it
  // leads to (a valid installation here) keeps every file.
  const std::wstring real = temp / L"real";
  ASSERT_TRUE(InstallStandInRelease(server, real));
  ASSERT_TRUE(CreateFolderLink(temp / L"linked", real));
  EXPECT_TRUE(Uninstall(temp / L"linked", error));
  EXPECT_TRUE(FileExists(real + L"\\zavexphone.exe"));
  EXPECT_TRUE(FileExists(real + L"\\manifest.json"));
}

TEST_F(UninstallTest, RunningApplicationThatStaysOpenStopsTheUninstall) {
  // The uninstall waits 2 s once: an application that needs 3 s stays open.
  for (const wchar_t* options : {L"--ignore-close", L"--no-window", L"--close-delay=3000"}) {
    SCOPED_TRACE(testing::Message() << WideToUtf8(options));
    ChildProcess application;
    ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", options));
    if (std::wstring(options) != L"--no-window") {
      ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone"), nullptr);
    }
    std::wstring error;
    EXPECT_FALSE(Uninstall(folder, error));
    EXPECT_EQ(error, L"Por favor, feche o Zavex Phone antes de desinstalar.");
    EXPECT_TRUE(NothingRemoved());
    application.Kill();
  }
}

TEST_F(UninstallTest, RunningApplicationThatClosesIsUninstalled) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L"--close-delay=300"));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone"), nullptr);
  std::wstring error;
  EXPECT_TRUE(Uninstall(folder, error));
  EXPECT_EQ(application.Wait(5000).has_value(), true);
  EXPECT_FALSE(FolderExists(folder));
}

}  // namespace
}  // namespace zavex::test
