#include "ops/installer.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <memory>

#include "app/invocation.h"
#include "base/install_location.h"
#include "base/text_conversion.h"
#include "ops/release_fixture.h"
#include "platform/held_executable.h"
#include "platform/service_control.h"
#include "platform/unique_handle.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t folder[MAX_PATH] = {};
  EXPECT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)));
  return folder;
}

class InstallerTest : public MachineStateTest {
 protected:
  void SetUp() override {
    MachineStateTest::SetUp();
    // As the program's entry does: the install copies the executable it holds.
    ASSERT_TRUE(HoldExecutable(GetExecutablePath()));
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(server.listening());
    release.files = {{"zavexphone.exe", "application v1"},
                     {"bin/app.dll", GeneratedBytes(0, 20000)},
                     {"data/readme.txt", "leia-me"}};
  }
  void TearDown() override {
    CoUninitialize();
    MachineStateTest::TearDown();
  }

  OperationResult Install(const std::wstring& folder) {
    Installer installer(CompiledReleaseServer());
    SetAcceptedInstallPath(installer, folder);
    installer.onProgress = recorder.Callback();
    return RunToCompletion(installer, &Installer::StartInstall);
  }

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir temp;
  const std::wstring folder = temp / L"Zavex Phone";
  Release release;
  ProgressRecorder recorder;
};

TEST_F(InstallerTest, InstallsFilesRecordUpdaterCopyRegistrationAndShortcuts) {
  PublishRelease(server, release);
  TrustFolderForTests(folder);
  const OperationResult result = Install(folder);
  ASSERT_TRUE(result.finished);
  EXPECT_TRUE(result.success);
  EXPECT_EQ(result.error, L"");
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));
  EXPECT_EQ(ReadTextFile(folder + L"\\zavex_updater.exe"), ReadTextFile(GetExecutablePath()));

  const std::wstring application = folder + L"\\zavexphone.exe";
  EXPECT_EQ(ReadUserRegistryString(kUninstallKey, L"DisplayName"), L"Zavex Phone");
  EXPECT_EQ(ReadUserRegistryString(kUninstallKey, L"DisplayVersion"), L"1.0.0");
  EXPECT_EQ(ReadUserRegistryString(kUninstallKey, L"Publisher"), L"Quorvane");
  EXPECT_EQ(ReadUserRegistryString(kUninstallKey, L"InstallLocation"), folder);
  EXPECT_EQ(ReadUserRegistryString(kUninstallKey, L"UninstallString"),
            L"\"" + folder + L"\\zavex_updater.exe\" --uninstall");
  EXPECT_EQ(ReadUserRegistryString(kUninstallKey, L"DisplayIcon"), application);
  EXPECT_EQ(ReadUserRegistryString(kTelCommandKey, L""), L"\"" + application + L"\" \"%1\"");
  EXPECT_EQ(ServiceCommandLine(kUpdateServiceName),
            L"\"" + folder + L"\\zavex_updater.exe\" --service");

  // Located without the program's own path functions.
  EXPECT_EQ(ReadShortcutTarget(ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Zavex Phone.lnk"),
            application);
  EXPECT_EQ(ReadShortcutTarget(ShellFolder(CSIDL_PROGRAMS) + L"\\Zavex Phone\\Zavex Phone.lnk"),
            application);
}

// Whoever may replace the updater in such a folder would have the service
// start it as SYSTEM.
TEST_F(InstallerTest, AFolderThatOthersCanChangeGetsNoService) {
  PublishRelease(server, release);
  ASSERT_TRUE(Install(folder).success);
  EXPECT_EQ(ServiceCommandLine(kUpdateServiceName), L"");
}

TEST_F(InstallerTest, ReportsStepsFilesAndChunksInOrder) {
  PublishRelease(server, release);
  ASSERT_TRUE(Install(folder).success);
  const std::vector<ProgressReport>& reports = recorder.reports();
  ASSERT_GE(reports.size(), 8u);
  EXPECT_EQ(reports[0].text, L"Baixando lista de arquivos...");
  EXPECT_EQ(reports[1].text, L"Criando diretório de instalação...");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(reports[i].current + reports[i].total, 0);
    EXPECT_EQ(reports[i].bytesDone + reports[i].bytesTotal, 0u);
  }
  const uint32_t totalBytes = 14 + 20000 + 7;
  for (size_t i = 2; i + 3 < reports.size(); ++i) {
    EXPECT_EQ(reports[i].total, 3);
    EXPECT_EQ(reports[i].bytesTotal, totalBytes);
    EXPECT_GE(reports[i].current, reports[i - 1].current);
    if (i > 2) {
      EXPECT_GE(reports[i].bytesDone, reports[i - 1].bytesDone);
    }
  }
  // The first report of a file: one that starts, before any of its bytes.
  EXPECT_NE(release.Find(WideToUtf8(reports[2].text)), nullptr);
  EXPECT_EQ(reports[2].bytesDone, 0u);
  const std::wstring finalSteps[] = {L"Salvando configurações...", L"Registrando no Windows...",
                                     L"Criando atalhos..."};
  for (int i = 0; i < 3; ++i) {
    const ProgressReport& report = reports[reports.size() - 3 + i];
    EXPECT_EQ(report.text, finalSteps[i]);
    EXPECT_EQ(report.current, 3);
    EXPECT_EQ(report.total, 3);
    EXPECT_EQ(report.bytesDone, totalBytes);
    EXPECT_EQ(report.bytesTotal, totalBytes);
  }
}

TEST_F(InstallerTest, TheManifestSignatureDecidesBeforeAnythingIsWritten) {
  PublishRelease(server, release);
  server.SetRoute("/manifest.json.sig", 200, SignatureFor(release.ManifestJson(), "stranger"));
  EXPECT_EQ(Install(folder).error, L"Manifest inválido");
  EXPECT_FALSE(FolderExists(folder));
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
  std::vector<std::string> targets;
  for (const ReceivedRequest& request : server.Requests()) targets.push_back(request.target);
  EXPECT_EQ(targets, (std::vector<std::string>{"/manifest.json", "/manifest.json.sig"}));

  server.SetRoute("/manifest.json.sig", 200, SignatureFor(release.ManifestJson(), "second"));
  EXPECT_TRUE(Install(folder).success);
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));
}

// Under Wine every existing folder is one that others than administrators
// can change: one found at the path when the install creates the folder is
// refused unless it is the very folder accepted.
TEST_F(InstallerTest, AFolderPutAtThePathAfterTheQuestionIsRefused) {
  PublishRelease(server, release);
  const std::wstring refused = L"A pasta " + folder +
                               L" já existe e outros usuários além dos administradores podem "
                               L"alterá-la. Nada foi instalado.";
  Installer installer(CompiledReleaseServer());
  // Someone else creates it while the manifest comes.
  installer.onProgress = recorder.Callback([&](const ProgressReport& report) {
    if (report.text == L"Criando diretório de instalação...") {
      CreateDirectoryW(folder.c_str(), nullptr);
    }
  });
  installer.SetInstallPath(folder);
  EXPECT_EQ(RunToCompletion(installer, &Installer::StartInstall).error, refused);
  EXPECT_EQ(ListFiles(folder), std::vector<std::wstring>{});

  // The accepted folder is moved away and another takes its place.
  SetAcceptedInstallPath(installer, folder);
  ASSERT_TRUE(MoveFileW(folder.c_str(), (temp / L"accepted").c_str()));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  EXPECT_EQ(RunToCompletion(installer, &Installer::StartInstall).error, refused);
  EXPECT_EQ(ListFiles(folder), std::vector<std::wstring>{});

  SetAcceptedInstallPath(installer, folder);
  EXPECT_TRUE(RunToCompletion(installer, &Installer::StartInstall).success);
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));
}

TEST_F(InstallerTest, ManifestFailuresStopBeforeAnyFileIsWritten) {
  EXPECT_EQ(Install(folder).error, L"Falha ao baixar manifest: ");

  ServeManifest(server, "{\"version\": \"1.0\", \"versionCode\": 1}");
  EXPECT_EQ(Install(folder).error, L"Manifest inválido");

  release.files.push_back({"../outside.txt", "escaped"});
  PublishRelease(server, release);
  EXPECT_EQ(Install(folder).error, L"Manifest inválido");
  EXPECT_FALSE(FileExists(temp / L"outside.txt"));

  EXPECT_FALSE(FolderExists(folder));
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
}

TEST_F(InstallerTest, FileFailuresStopAtTheFailingFile) {
  release.files[1].listedHash = Sha256Hex("something else");
  PublishRelease(server, release);
  EXPECT_EQ(Install(folder).error, L"Hash inválido para: bin/app.dll");
  // Nothing is placed before every file has arrived.
  EXPECT_EQ(ListFiles(folder), std::vector<std::wstring>{});

  // Hashes compare exactly: upper-case hex never matches.
  release.files[1].listedHash = "";
  release.files[0].listedHash = Sha256Hex(release.files[0].content);
  for (char& c : release.files[0].listedHash) c = static_cast<char>(toupper(c));
  PublishRelease(server, release);
  EXPECT_EQ(Install(folder).error, L"Hash inválido para: zavexphone.exe");

  release.files[0].listedHash = "";
  PublishRelease(server, release);
  server.SetRoute("/data/readme.txt", 404, "Not Found");
  EXPECT_EQ(Install(folder).error, L"Falha ao baixar: data/readme.txt");
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));

  EXPECT_EQ(Install(L"Q:\\missing\\Zavex").error, L"Falha ao criar diretório: Q:\\missing\\Zavex");
}

TEST_F(InstallerTest, OptionalFileThatFailsIsSkipped) {
  release.files[2].required = false;
  PublishRelease(server, release);
  server.SetRoute("/data/readme.txt", 404, "Not Found");
  const OperationResult result = Install(folder);
  EXPECT_TRUE(result.success);
  EXPECT_FALSE(FileExists(folder + L"\\data\\readme.txt"));
  // Not recorded, so the next release that lists it brings it.
  EXPECT_EQ(ReadTextFile(folder + L"\\manifest.json").find("data/readme.txt"), std::string::npos);
}

TEST_F(InstallerTest, CancelStopsTheDownloadsAndPlacesNothing) {
  release.files[1].content = GeneratedBytes(0, 300000);
  PublishRelease(server, release);
  server.SetRoute("/bin/app.dll", SlowAnswer(release.files[1].content, 8192, 5));

  auto runCancelling = [&](std::function<bool(const ProgressReport&)> when) {
    Installer installer(CompiledReleaseServer());
    SetAcceptedInstallPath(installer, folder);
    installer.onProgress = recorder.Callback([&](const ProgressReport& report) {
      if (when(report)) installer.Cancel();
    });
    return RunToCompletion(installer, &Installer::StartInstall);
  };

  // Once the first file has arrived: the files that arrived are not placed.
  const uint32_t firstSize = static_cast<uint32_t>(release.files[0].content.size());
  OperationResult result = runCancelling([&](const ProgressReport& report) {
    return report.text == L"zavexphone.exe" && report.bytesDone >= firstSize;
  });
  EXPECT_TRUE(IsCancelText(result.error, release));
  EXPECT_EQ(ListFiles(folder), std::vector<std::wstring>{});

  // On a chunk of a required file, long after the small files arrived: the
  // partial file is deleted and the text is that of the cut file.
  result = runCancelling([&](const ProgressReport& report) {
    return report.text == L"bin/app.dll" && report.bytesDone > 100000;
  });
  EXPECT_EQ(result.error, L"Falha ao baixar: bin/app.dll");
  EXPECT_FALSE(FileExists(folder + L"\\bin\\app.dll"));
  EXPECT_FALSE(FileExists(folder + L"\\bin\\app.dll.tmp"));
  EXPECT_FALSE(FileExists(folder + L"\\manifest.json"));

  // While the server has fallen silent in the middle of the only file.
  release.files.erase(release.files.begin());
  release.files.pop_back();
  PublishRelease(server, release);
  HttpRoute stalled;
  stalled.body = release.files[0].content;
  stalled.stallAfterBytes = 100000;
  server.SetRoute("/bin/app.dll", stalled);
  Installer installer(CompiledReleaseServer());
  SetAcceptedInstallPath(installer, folder);
  result = CancelAtMilestone(installer, &Installer::StartInstall,
                             ProgressMilestone(L"bin/app.dll", 100000));
  ASSERT_TRUE(result.finished) << "the cancel waited for the network";
  EXPECT_EQ(result.error, L"Falha ao baixar: bin/app.dll");
  EXPECT_FALSE(FileExists(folder + L"\\bin\\app.dll"));
}

TEST_F(InstallerTest, InstallerReleasedWhileRunningLetsTheWorkerFinish) {
  release.files[1].content = GeneratedBytes(0, 200000);
  PublishRelease(server, release);
  server.SetRoute("/bin/app.dll", SlowAnswer(release.files[1].content, 4096, 10));

  CompletionProbe probe;
  {
    auto installer = std::make_unique<Installer>(CompiledReleaseServer());
    SetAcceptedInstallPath(*installer, folder);
    installer->onComplete = probe.Callback();
    installer->StartInstall();
  }
  const OperationResult result = probe.Wait();
  ASSERT_TRUE(result.finished);
  EXPECT_FALSE(result.success);
  EXPECT_FALSE(FileExists(folder + L"\\manifest.json"));
}

TEST_F(InstallerTest, RecordThatCannotBeReplacedFailsTheInstall) {
  PublishRelease(server, release);
  InstallReleaseLocally(folder, Release{"0.9.0", 1, {{"zavexphone.exe", "old"}}});
  const std::string previousRecord = ReadTextFile(folder + L"\\manifest.json");
  {
    UniqueFile reader(CreateFileW((folder + L"\\manifest.json").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(Install(folder).error, L"Falha ao salvar manifest.json");
  }
  EXPECT_EQ(ReadTextFile(folder + L"\\manifest.json"), previousRecord);
  EXPECT_FALSE(FileExists(folder + L"\\manifest.json.tmp"));
  // The record comes last, after the registration and the shortcuts.
  EXPECT_TRUE(UserRegistryKeyExists(kUninstallKey));
  EXPECT_EQ(ReadShortcutTarget(ShellFolder(CSIDL_PROGRAMS) + L"\\Zavex Phone\\Zavex Phone.lnk"),
            folder + L"\\zavexphone.exe");
  EXPECT_EQ(ReadTextFile(folder + L"\\zavexphone.exe.old"), "old");
}

TEST_F(InstallerTest, AReleasedUpdaterIsPlacedInsteadOfTheProgramsOwnCopy) {
  release.files.push_back({"zavex_updater.exe", "the released updater"});
  PublishRelease(server, release);
  EXPECT_TRUE(Install(folder).success);
  EXPECT_TRUE(HoldsExactly(folder, release));

  // Over its own running copy: that one waits as ".old", the next run removes it.
  WriteTextFile(folder + L"\\zavex_updater.exe.old", "left by the run that replaced it");
  release.files.back().content = "the next released updater";
  release.versionCode = 2;
  PublishRelease(server, release);
  EXPECT_TRUE(Install(folder).success);
  EXPECT_TRUE(HoldsExactly(folder, release));
}

TEST_F(InstallerTest, InstallOverAHigherVersionCodeIsRefusedAndChangesNothing) {
  const Release existing{"2.0.0", 2, {{"zavexphone.exe", "application v2"},
                                      {"data/readme.txt", "leia-me v2"}}};
  InstallReleaseLocally(folder, existing);
  PublishRelease(server, release);
  EXPECT_EQ(Install(folder).error,
            L"A versão do servidor (1.0.0) é anterior à instalada (2.0.0). Nada foi alterado.");
  EXPECT_TRUE(HoldsExactly(folder, existing));
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
  EXPECT_EQ(RequestsUnder(server, "/manifest.json"), server.Requests().size());

  release.versionCode = 2;
  PublishRelease(server, release);
  EXPECT_TRUE(Install(folder).success);
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));
}

TEST_F(InstallerTest, InstallOverAnExistingFolderKeepsItsFilesWhenAFileFails) {
  const Release existing{"0.9.0", 1, {{"zavexphone.exe", "old application"},
                                      {"bin/app.dll", "old library"},
                                      {"data/readme.txt", "old readme"}}};
  InstallReleaseLocally(folder, existing);
  const std::string previousRecord = ReadTextFile(folder + L"\\manifest.json");
  // Interrupted before: a listed file waits as ".old", another one was
  // swapped for the new release's.
  const std::wstring application = folder + L"\\zavexphone.exe";
  ASSERT_TRUE(MoveFileW(application.c_str(), (application + L".old").c_str()));
  const std::wstring library = folder + L"\\bin\\app.dll";
  ASSERT_TRUE(MoveFileW(library.c_str(), (library + L".old").c_str()));
  ASSERT_TRUE(WriteTextFile(library, release.files[1].content));
  // Undone before the manifest is asked for.
  EXPECT_EQ(Install(folder).error, L"Falha ao baixar manifest: ");
  EXPECT_TRUE(HoldsExactly(folder, existing));

  PublishRelease(server, release);
  const struct {
    const char* name;
    HttpRoute route;
    std::wstring error;
  } faults[] = {
      {"missing", Answer(404, "Not Found"), L"Falha ao baixar: data/readme.txt"},
      {"damaged", Answer(200, "damaged"), L"Hash inválido para: data/readme.txt"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    server.SetRoute("/data/readme.txt", fault.route);
    EXPECT_EQ(Install(folder).error, fault.error);
    EXPECT_TRUE(HoldsExactly(folder, existing));
    EXPECT_EQ(ReadTextFile(folder + L"\\manifest.json"), previousRecord);
  }
  PublishRelease(server, release);
  EXPECT_TRUE(Install(folder).success);
  EXPECT_TRUE(HoldsExactly(folder, release, {L"zavex_updater.exe"}));
}

}  // namespace
}  // namespace zavex::test
