#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/text_conversion.h"
#include "formats/delta_index.h"
#include "formats/manifest.h"
#include "ops/release_fixture.h"
#include "support/http_server.h"
#include "support/planted_dlls.h"
#include "support/process.h"
#include "support/test_files.h"
#include "support/window_probe.h"
#include "ui/progress_window.h"

namespace zavex::test {
namespace {

constexpr DWORD kExitTimeoutMs = 60000;
constexpr DWORD kPollMs = 50;

// Files that the installation folder holds besides the release.
const std::set<std::wstring> kInstallationExtras = {L"zavex_updater.exe", L"zavexphone_cmdline.txt",
                                                    L"zavex_installation.id", L"zavex_channel.txt"};

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// A file name with a blank, accented letters and "+".
const std::wstring kAwkwardName = L"sons\\Efeitos de a\u00e7\u00e3o+extra.dll";

class PublishedReleaseTest : public MachineStateTest {
 protected:
  void SetUp() override {
    MachineStateTest::SetUp();
    ASSERT_TRUE(server.listening()) << "port " << ServerPortFromBaseUrl() << " is taken";
    updaterExe = CopyUpdaterTo(dir.path());
    ASSERT_FALSE(updaterExe.empty());
    installFolder = dir / L"Zavex Inst";
    buildFolder = dir / L"build";
    releaseFolder = dir / L"site\\zavex";
    ASSERT_TRUE(CreateDirectoryW((dir / L"site").c_str(), nullptr));
  }
  void TearDown() override {
    updater.Kill();
    MachineStateTest::TearDown();
  }

  void WriteBuildFile(const std::wstring& relative, const std::string& content) {
    const std::filesystem::path file = std::filesystem::path(buildFolder) / relative;
    std::filesystem::create_directories(file.parent_path());
    ASSERT_TRUE(WriteTextFile(file.wstring(), content));
  }

  // The exit code of the built publisher, or of a copy of it, signing with
  // the first test key.
  DWORD Publish(const std::wstring& version, int versionCode,
                const std::wstring& publisher = BuildDir() + L"\\zavex_publish.exe") {
    const RunResult run = RunProcess(
        publisher,
        L"--version=" + version + L" --version-code=" + std::to_wstring(versionCode) +
            L" --release-date=2024-05-0" + std::to_wstring(versionCode) +
            L" --optional=*.txt \"--release-notes=Vers\u00e3o " + version + L"\" " +
            L"\"--signing-key=" ZAVEX_TESTS_SOURCE_DIR_WIN L"\\support\\keys\\first.pem\" " +
            Quoted(buildFolder) + L" " + Quoted(releaseFolder));
    EXPECT_TRUE(run.started && !run.timedOut);
    return run.exitCode;
  }

  // Serves every file of the release folder at its path; files served
  // before and now gone answer 404.
  void ServeReleaseFolder() {
    const std::set<std::string> current = ServeFolder(server, releaseFolder);
    for (const std::string& path : served) {
      if (current.count(path) == 0) server.SetRoute(path, 404, "Not Found");
    }
    served = current;
  }

  // The exit code of the updater run with switches and "--path=".
  DWORD RunUpdater(const std::wstring& switches) {
    const RunResult run =
        RunProcess(updaterExe, switches + L" --path=" + Quoted(installFolder), kExitTimeoutMs);
    EXPECT_TRUE(run.started && !run.timedOut) << WideToUtf8(switches);
    return run.exitCode;
  }

  // Installs through the window: "Instalar", then "Concluir", which starts the
  // application.
  ::testing::AssertionResult InstallThroughTheWindow() {
    if (!updater.Start(updaterExe, L"--install --path=" + Quoted(installFolder))) {
      return ::testing::AssertionFailure() << "the updater did not start";
    }
    HWND window = WaitForWindow(updater.id(), kUpdaterWindowClass, L"");
    if (!window || !ClickButton(window, IDC_ACTION_BUTTON) ||
        !WaitForControlText(window, IDC_TITLE_LABEL, L"Instala\u00e7\u00e3o conclu\u00edda!")) {
      const std::wstring title = window ? ControlText(window, IDC_TITLE_LABEL) : L"no window";
      return ::testing::AssertionFailure() << "title: " << WideToUtf8(title);
    }
    ClickButton(window, IDC_ACTION_BUTTON);
    const std::optional<DWORD> exitCode = updater.Wait(kExitTimeoutMs);
    if (exitCode != std::optional<DWORD>(0)) return ::testing::AssertionFailure() << "exit code";
    return ::testing::AssertionSuccess();
  }

  // The stored record of a published manifest: the same bytes without the
  // expiry and the index's name.
  static std::string StoredRecordOf(const std::string& published) {
    Manifest record = ParseManifest(published);
    EXPECT_FALSE(record.expires.empty());
    EXPECT_FALSE(record.deltaIndex.hash.empty());
    record.expires.clear();
    record.deltaIndex = DeltaIndexRef();
    return SerializeManifest(record);
  }

  // The installation folder holds the release folder's files, manifest.json
  // included (as its record) and its signature not, byte for byte, and only
  // the usual extras besides.
  ::testing::AssertionResult InstalledAsPublished() const {
    // The signature and the folder of compressed copies and patches are the
    // server's, not the installation's.
    std::vector<std::wstring> published = ListFiles(releaseFolder);
    const std::wstring namedIndex =
        L"zavex_delta\\" + Utf8ToWide(DeltaIndexName(ParseManifest(ReadTextFile(releaseFolder + L"\\manifest.json"))
                                                          .deltaIndex.hash));
    for (const std::wstring& index : {std::wstring(L"zavex_delta\\index.json"), namedIndex}) {
      if (std::find(published.begin(), published.end(), index) == published.end()) {
        return ::testing::AssertionFailure() << "the release has no " << WideToUtf8(index);
      }
    }
    published.erase(std::remove_if(published.begin(), published.end(),
                                   [](const std::wstring& name) {
                                     return name == L"manifest.json.sig" || name.rfind(L"zavex_delta\\", 0) == 0;
                                   }),
                    published.end());
    std::vector<std::wstring> installed = ListFiles(installFolder);
    installed.erase(std::remove_if(installed.begin(), installed.end(),
                                   [](const std::wstring& name) {
                                     return kInstallationExtras.count(name) > 0;
                                   }),
                    installed.end());
    if (installed != published) {
      return ::testing::AssertionFailure() << "the installed files differ from the published ones";
    }
    for (const std::wstring& relative : installed) {
      std::string expected = ReadTextFile(releaseFolder + L"\\" + relative);
      if (relative == L"manifest.json") expected = StoredRecordOf(expected);
      if (ReadTextFile(installFolder + L"\\" + relative) != expected) {
        return ::testing::AssertionFailure() << WideToUtf8(relative) << " differs";
      }
    }
    return ::testing::AssertionSuccess();
  }

  bool WaitForApplicationStarts(size_t starts) const {
    const std::wstring record = installFolder + L"\\zavexphone_cmdline.txt";
    const ULONGLONG deadline = GetTickCount64() + kExitTimeoutMs;
    while (true) {
      const std::string lines = ReadTextFile(record);
      if (static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n')) >= starts) return true;
      if (GetTickCount64() >= deadline) return false;
      Sleep(kPollMs);
    }
  }

  size_t RequestsFor(const std::string& path) const {
    const std::vector<ReceivedRequest> requests = server.Requests();
    return std::count_if(requests.begin(), requests.end(), [&](const ReceivedRequest& request) {
      return request.target.substr(0, request.target.find('?')) == path;
    });
  }

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir dir;
  std::wstring updaterExe;
  std::wstring installFolder;
  std::wstring buildFolder;
  std::wstring releaseFolder;
  std::set<std::string> served;
  ChildProcess updater;
};

TEST_F(PublishedReleaseTest, APublishedReleaseInstallsAndTheNextOneUpdatesIt) {
  WriteBuildFile(L"zavexphone.exe", ReadTextFile(BuildDir() + L"\\zavexphone.exe"));
  WriteBuildFile(L"lib\\codec.dll", "codec 1.0");
  WriteBuildFile(L"docs\\old.txt", "dropped in 1.1");
  WriteBuildFile(kAwkwardName, "efeitos 1.0");
  ASSERT_EQ(Publish(L"1.0.0", 1), 0u);
  ServeReleaseFolder();

  ASSERT_TRUE(InstallThroughTheWindow());
  EXPECT_TRUE(InstalledAsPublished());
  EXPECT_TRUE(WaitForApplicationStarts(1));
  EXPECT_EQ(RunUpdater(L"--check"), 2u);

  WriteBuildFile(L"lib\\codec.dll", "codec 1.1");
  WriteBuildFile(L"plugins\\video.dll", "new in 1.1");
  WriteBuildFile(kAwkwardName, "efeitos 1.1");
  ASSERT_TRUE(DeleteTree(buildFolder + L"\\docs"));
  ASSERT_EQ(Publish(L"1.1.0", 2), 0u);
  const RunResult reSigned = RunProcess(
      BuildDir() + L"\\zavex_publish.exe",
      L"--re-sign --expires-in=7 \"--signing-key=" ZAVEX_TESTS_SOURCE_DIR_WIN
      L"\\support\\keys\\second.pem\" " + Quoted(releaseFolder));
  EXPECT_EQ(reSigned.exitCode, 0u);
  const std::string published = ReadTextFile(releaseFolder + L"\\manifest.json");
  EXPECT_EQ(Publish(L"1.1.1", 2), 1u);
  EXPECT_EQ(ReadTextFile(releaseFolder + L"\\manifest.json"), published);
  ServeReleaseFolder();

  // The same release with its notes changed after signing is refused.
  std::string altered = published;
  altered.replace(altered.find("1.1.0\""), 5, "1.1.9");
  server.SetRoute("/manifest.json", 200, altered);
  EXPECT_EQ(RunUpdater(L"--check"), 1u);
  EXPECT_EQ(RunUpdater(L"--silent"), 2u);
  EXPECT_EQ(ReadTextFile(installFolder + L"\\lib\\codec.dll"), "codec 1.0");
  ServeReleaseFolder();

  EXPECT_EQ(RunUpdater(L"--check"), 0u);
  EXPECT_EQ(RunUpdater(L"--silent --restart"), 0u);
  EXPECT_TRUE(InstalledAsPublished());
  EXPECT_FALSE(FileExists(installFolder + L"\\docs\\old.txt"));
  EXPECT_EQ(ReadTextFile(installFolder + L"\\lib\\codec.dll"), "codec 1.1");
  EXPECT_TRUE(WaitForApplicationStarts(2));
  EXPECT_EQ(RunUpdater(L"--check"), 2u);
  // The unchanged application was fetched only by the install, itself or
  // its compressed copy.
  const std::string application = ReadTextFile(BuildDir() + L"\\zavexphone.exe");
  EXPECT_EQ(RequestsFor("/zavexphone.exe") +
                RequestsFor("/zavex_delta/" + CompressedCopyName(Sha256Hex(application))),
            1u);
  EXPECT_EQ(RequestsFor("/plugins/video.dll"), 1u);
  // The blank and the accents travel escaped, "+" as it is; the file lands
  // under its own name (InstalledAsPublished).
  EXPECT_EQ(ReadTextFile(installFolder + L"\\" + kAwkwardName), "efeitos 1.1");
  EXPECT_EQ(RequestsFor("/sons/Efeitos%20de%20a%C3%A7%C3%A3o+extra.dll"), 2u);
}

TEST_F(PublishedReleaseTest, TheBuiltPublisherRefusesWithoutWritingAnything) {
  WriteBuildFile(L"zavexphone.exe", "app");
  WriteBuildFile(L"manifest.json", "{}");
  EXPECT_EQ(Publish(L"1.0.0", 1), 1u);
  EXPECT_FALSE(FolderExists(releaseFolder));
  EXPECT_TRUE(std::filesystem::is_empty(dir / L"site"));

  const RunResult usage = RunProcess(BuildDir() + L"\\zavex_publish.exe", L"--version-code=1");
  EXPECT_EQ(usage.exitCode, 2u);
  const RunResult help = RunProcess(BuildDir() + L"\\zavex_publish.exe", L"--help");
  EXPECT_EQ(help.exitCode, 0u);
}

TEST_F(PublishedReleaseTest, APublisherBesidePlantedDllsLoadsNoneAndPublishes) {
  TempDir tools;
  const std::wstring publisher = tools / L"zavex_publish.exe";
  ASSERT_TRUE(CopyFileW((BuildDir() + L"\\zavex_publish.exe").c_str(), publisher.c_str(), FALSE));
  PlantedDlls planted(tools.path());
  ASSERT_TRUE(planted.planted());
  WriteBuildFile(L"zavexphone.exe", "app");

  EXPECT_EQ(Publish(L"1.0.0", 1, publisher), 0u);
  EXPECT_NE(ReadTextFile(releaseFolder + L"\\manifest.json").find(Sha256Hex("app")),
            std::string::npos);
  EXPECT_EQ(planted.Loaded(), std::vector<std::wstring>{});
}

}  // namespace
}  // namespace zavex::test
