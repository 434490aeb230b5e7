#include <gtest/gtest.h>

#include <shlobj.h>

#include "app/invocation.h"
#include "base/install_location.h"
#include "platform/registration.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex {
namespace {

CommandLineArgs ArgsFor(const wchar_t* text) { return ParseCommandLine(text); }

std::wstring ShellFolder(int csidl) {
  wchar_t path[kMaxPathChars] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return {};
  return path;
}

std::wstring EnvironmentValue(const wchar_t* name) {
  wchar_t value[kMaxPathChars] = {};
  GetEnvironmentVariableW(name, value, kMaxPathChars);
  return value;
}

// Creates a file (or a folder) for the length of a test and removes it again.
class ScopedEntry {
 public:
  ScopedEntry(const std::wstring& path, bool asFolder) : path(path), folder(asFolder) {
    if (folder) {
      CreateDirectoryW(path.c_str(), nullptr);
    } else {
      test::WriteTextFile(path, "{}");
    }
  }
  ~ScopedEntry() {
    if (folder) {
      RemoveDirectoryW(path.c_str());
    } else {
      DeleteFileW(path.c_str());
    }
  }

 private:
  std::wstring path;
  bool folder;
};

constexpr wchar_t kUninstallEntryKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zavex Phone";

class InstallLocation : public testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey);
    ASSERT_FALSE(test::FileExists(GetExecutableFolder() + L"\\manifest.json"));
    ASSERT_FALSE(test::FileExists(GetDefaultInstallFolder() + L"\\manifest.json"))
        << "a previous run left an installation behind";
    createdDefaultFolder = CreateDirectoryW(GetDefaultInstallFolder().c_str(), nullptr) != FALSE;
  }
  void TearDown() override {
    if (createdDefaultFolder) RemoveDirectoryW(GetDefaultInstallFolder().c_str());
  }

  bool createdDefaultFolder = false;
};

TEST_F(InstallLocation, FoldersOfThisMachine) {
  const std::wstring exe = GetExecutablePath();
  ASSERT_GT(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), L".exe");
  EXPECT_EQ(GetExecutableFolder(), exe.substr(0, exe.find_last_of(L'\\')));
  EXPECT_TRUE(test::FolderExists(GetProgramFilesFolder()));
  EXPECT_EQ(GetDefaultInstallFolder(), GetProgramFilesFolder() + L"\\ZavexPhone");
}

// The shell answers at the width of the asking process: a 32-bit program on
// 64-bit Windows gets the folder for 32-bit programs, the 64-bit build the
// other one.
TEST_F(InstallLocation, ProgramFilesFolderIsTheOneForProgramsOfThisWidth) {
  const std::wstring folder = GetProgramFilesFolder();
  const std::wstring forThirtyTwoBit = ShellFolder(CSIDL_PROGRAM_FILESX86);
  ASSERT_FALSE(forThirtyTwoBit.empty());
  if (sizeof(void*) == 8) {
    EXPECT_NE(folder, forThirtyTwoBit);
  } else {
    EXPECT_EQ(folder, forThirtyTwoBit);
  }
  if (test::RunsUnderWow64(GetCurrentProcess())) {
    EXPECT_NE(folder, EnvironmentValue(L"ProgramW6432"));
  }
}

TEST_F(InstallLocation, NothingInstalledMeansInstaller) {
  EXPECT_EQ(GetOperationMode(ArgsFor(L"")), INSTALLER);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--install")), INSTALLER);
  EXPECT_EQ(GetInstallPath(ArgsFor(L"")), GetDefaultInstallFolder());
  EXPECT_EQ(GetInstallPath(ArgsFor(L"--path=D:\\Elsewhere\\")), L"D:\\Elsewhere\\");
}

TEST_F(InstallLocation, ExplicitModesAreKept) {
  ScopedEntry manifest(GetDefaultInstallFolder() + L"\\manifest.json", false);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--uninstall")), UNINSTALLER);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--check")), SILENT_CHECK);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--silent")), SILENT_UPDATE);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--self-update")), SELF_UPDATE);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--service")), SERVICE);
  // The service takes its folder from its own file, never from "--path=".
  EXPECT_EQ(GetInstallPath(ArgsFor(L"--service --path=C:\\other")), GetExecutableFolder());
}

TEST_F(InstallLocation, InstallationUnderProgramFilesMeansUpdater) {
  ScopedEntry manifest(GetDefaultInstallFolder() + L"\\manifest.json", false);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--install")), UPDATER);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"")), UPDATER);
  EXPECT_EQ(GetInstallPath(ArgsFor(L"")), GetDefaultInstallFolder());
}

TEST_F(InstallLocation, FolderNamedManifestDoesNotCount) {
  ScopedEntry folder(GetDefaultInstallFolder() + L"\\manifest.json", true);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"")), INSTALLER);
}

// The test's folder is one that its user can change (under Wine every
// folder reads so, its access list made from Unix permission bits): a record
// there counts only once this account has registered the folder.
TEST_F(InstallLocation, RunningFromTheRegisteredInstallationFolder) {
  ScopedEntry manifest(GetExecutableFolder() + L"\\manifest.json", false);
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--install")), INSTALLER);
  EXPECT_EQ(GetInstallPath(ArgsFor(L"")), GetDefaultInstallFolder());

  ASSERT_TRUE(RegisterUninstallEntry(L"Zavex Phone", L"Zavex Phone", L"1.0", L"Quorvane",
                                     GetExecutableFolder() + L"\\", L"", L""));
  EXPECT_EQ(GetOperationMode(ArgsFor(L"--install")), UPDATER);
  EXPECT_EQ(GetInstallPath(ArgsFor(L"")), GetExecutableFolder());
  EXPECT_EQ(GetInstallPath(ArgsFor(L"--path=C:\\Other")), L"C:\\Other");
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey);
}

// One resolution holds both rules: the folder of the installation found, and
// the folder that an installer started from the updater offers.
TEST_F(InstallLocation, ResolutionKeepsTheInstallersOwnFolder) {
  ScopedEntry manifest(GetExecutableFolder() + L"\\manifest.json", false);
  ASSERT_TRUE(RegisterUninstallEntry(L"Zavex Phone", L"Zavex Phone", L"1.0", L"Quorvane",
                                     GetExecutableFolder(), L"", L""));
  const Invocation found = ResolveInvocation(ArgsFor(L"--restart"));
  EXPECT_EQ(found.mode, UPDATER);
  EXPECT_EQ(found.installFolder, GetExecutableFolder());
  EXPECT_EQ(found.newInstallFolder, GetDefaultInstallFolder());
  EXPECT_TRUE(found.restart);
  const Invocation chosen = ResolveInvocation(ArgsFor(L"--check --path=C:\\Other"));
  EXPECT_EQ(chosen.mode, SILENT_CHECK);
  EXPECT_EQ(chosen.installFolder, L"C:\\Other");
  EXPECT_EQ(chosen.newInstallFolder, L"C:\\Other");
  EXPECT_FALSE(chosen.restart);
  EXPECT_EQ(chosen.server.baseUrl, CompiledReleaseServer().baseUrl);
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallEntryKey);
}

}  // namespace
}  // namespace zavex
