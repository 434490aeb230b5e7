#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <vector>

#include "base/text_conversion.h"
#include "formats/base64.h"
#include "formats/utc_time.h"
#include "ops/manifest_signature.h"
#include "ops/shortcut_locations.h"
#include "ops/updater.h"
#include "ops/updater_run_fixture.h"
#include "platform/process_control.h"
#include "platform/unique_handle.h"
#include "support/planted_dlls.h"

namespace zavex::test {
namespace {

constexpr DWORD kAppStartMs = 20000;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t CountLines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Polls until the file holds at least lines lines or timeoutMs passed.
size_t WaitForLines(const std::wstring& path, size_t lines, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  size_t count = CountLines(ReadTextFile(path));
  while (count < lines && GetTickCount64() < deadline) {
    Sleep(50);
    count = CountLines(ReadTextFile(path));
  }
  return count;
}

// Which of OK, Cancel, Yes and No the message box offers.
std::vector<int> BoxButtons(HWND box) {
  std::vector<int> buttons;
  for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
    if (GetDlgItem(box, id)) buttons.push_back(id);
  }
  return buttons;
}

BOOL CALLBACK FindIconControl(HWND child, LPARAM found) {
  if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) return TRUE;
  *reinterpret_cast<HWND*>(found) = child;
  return FALSE;
}

// The icon that the message box shows; null when it shows none.
HANDLE BoxIcon(HWND box) {
  HWND control = nullptr;
  EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&control));
  return control ? reinterpret_cast<HANDLE>(SendMessageW(control, STM_GETICON, 0, 0)) : nullptr;
}

using SilentCheckTest = UpdaterRunTest;

TEST_F(SilentCheckTest, ExitCodeFollowsWhatTheServerOffers) {
  struct Case {
    const char* name;
    std::string manifest;  // empty: no route
    DWORD exitCode;
    const char* logged;
    size_t requests;                // the manifest, its signature, the index it names when files changed
    std::vector<HttpRoute> before;  // answers to the manifest requests before it
  };
  Release same = newer;
  same.versionCode = installed.versionCode;
  Release unchanged = installed;
  unchanged.versionCode = 5;
  Release indexed = newer;
  indexed.deltaIndex = "{\"compressed\": [], \"patches\": []}";
  HttpRoute busy = Answer(503, "busy");
  busy.headers = "Retry-After: 2\r\n";
  const Case cases[] = {
      {"not found", "", 1, "[ERROR] Failed to download remote manifest: HTTP 404 via direct\r\n", 1},
      {"invalid", "{\"version\": \"2.0\", \"versionCode\": 2, \"files\": []}", 1,
       "[ERROR] Remote manifest is invalid", 2},
      {"same code, other files", same.ManifestJson(), 2, "Remote version: ", 2},
      {"higher code, no file changed", unchanged.ManifestJson(), 0, "Remote version: ", 2},
      {"higher code", indexed.ManifestJson(), 0, "Remote version: 2.0.0", 3},
      {"503 with Retry-After, then the manifest", indexed.ManifestJson(), 0,
       "[WARN] Retrying manifest.json in 2 s (attempt 2 of 4): HTTP 503 via direct\r\n", 3,
       {busy}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RestartServer();
    if (!c.manifest.empty()) ServeManifest(*server, c.manifest);
    if (!c.before.empty()) {
      std::vector<HttpRoute> answers = c.before;
      answers.push_back(Answer(200, c.manifest));
      server->SetRoutes("/manifest.json", answers);
    }
    const size_t logBefore = ReadTextFile(folder + L"\\zavex_updater.log").size();
    const RunResult result = RunUpdater(L"--check");
    ASSERT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, c.exitCode);
    const size_t manifestRequests = c.before.size() + 1;
    ASSERT_EQ(server->Requests().size(), c.before.size() + c.requests);
    for (size_t request = 0; request < manifestRequests; ++request) {
      EXPECT_TRUE(std::regex_match(server->Requests()[request].target,
                                   std::regex("/manifest\\.json\\?nocache=[0-9]+")));
    }
    const std::string log = ReadTextFile(folder + L"\\zavex_updater.log").substr(logBefore);
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    EXPECT_TRUE(EndsWith(LastLogLine(), "Finished with result: " +
                                            std::to_string(c.exitCode) + " ==="));
  }
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));

  server.reset();
  EXPECT_EQ(RunUpdater(L"--check").exitCode, 1u);
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  EXPECT_NE(log.find("(attempt 4 of 4): Failed to send request (WinHTTP error 12029) via direct"),
            std::string::npos);
  EXPECT_NE(log.find("[ERROR] Failed to download remote manifest: Failed to send request "
                     "(WinHTTP error 12029) via direct"),
            std::string::npos);
  DeleteFileW((folder + L"\\manifest.json").c_str());
  EXPECT_EQ(RunUpdater(L"--check").exitCode, 1u);
}

// A manifest dripped one byte every 20 s: each attempt gives up at the stall
// limit (less than 1 KiB in 60 s), and the retries end within the deadline.
TEST_F(SilentCheckTest, DrippedManifestEndsWithinTheDeadline) {
  HttpRoute drip;
  drip.body = newer.ManifestJson();
  drip.pieceBytes = 1;
  drip.pieceDelayMs = 20000;
  server->SetRoute("/manifest.json", drip);
  const RunResult result = RunUpdater(L"--check", kSilentCheckDeadlineMs);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 1u);
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  EXPECT_TRUE(std::regex_search(log, std::regex("Retrying manifest.json in [0-9.]+ s \\(attempt 2 "
                                                "of 4\\): stalled: [0-9] bytes received in 60 s "
                                                "via direct")));
  EXPECT_NE(log.find("[ERROR] Stopping, 5 s before the deadline of 120 s"), std::string::npos);
  EXPECT_NE(log.find("[ERROR] Failed to download remote manifest: cancelled"), std::string::npos);
}

// What the server sends as manifest.json and manifest.json.sig, and whether
// the updater may trust it.
struct SignatureCase {
  std::string name;
  std::string manifest;
  HttpRoute signature;
  bool trusted;
};

std::vector<SignatureCase> SignatureCases(const std::string& manifest) {
  const std::string good = SignatureFor(manifest);
  const std::string line = good.substr(0, good.size() - 1);
  std::string bytes;
  EXPECT_TRUE(DecodeBase64(line, bytes));
  bytes[17] ^= 0x04;
  std::string altered = manifest;
  const size_t version = altered.find("2.0.0");
  altered.replace(version, 5, "2.0.1");
  return {
      {"first key, LF", manifest, Answer(200, good), true},
      {"second key", manifest, Answer(200, SignatureFor(manifest, "second")), true},
      {"CRLF", manifest, Answer(200, line + "\r\n"), true},
      {"no line end", manifest, Answer(200, line), true},
      {"no .sig", manifest, Answer(404, "Not Found"), false},
      {"empty", manifest, Answer(200, ""), false},
      {"not base64", manifest, Answer(200, std::string(88, '!') + "\n"), false},
      {"wrong length", manifest, Answer(200, EncodeBase64(bytes.substr(1)) + "\n"), false},
      {"flipped bit", manifest, Answer(200, EncodeBase64(bytes) + "\n"), false},
      {"changed manifest byte", altered, Answer(200, good), false},
      {"key not compiled in", manifest, Answer(200, SignatureFor(manifest, "stranger")), false},
      {"blank line after", manifest, Answer(200, good + "\n"), false},
      {"blank line before", manifest, Answer(200, "\n" + good), false},
      {"second line", manifest, Answer(200, good + good), false},
  };
}

class SignedManifestTest : public UpdaterRunTest {
 protected:
  // Runs the updater against the case and checks what a refusal must leave.
  DWORD RunAgainst(const SignatureCase& c, const std::wstring& arguments) {
    RestartServer();
    PublishRelease(*server, newer);
    server->SetRoute("/manifest.json", 200, c.manifest);
    server->SetRoute("/manifest.json.sig", c.signature);
    const size_t logBefore = ReadTextFile(folder + L"\\zavex_updater.log").size();
    const std::string recordBefore = Record();
    const DWORD exitCode = RunUpdater(arguments).exitCode;
    if (!c.trusted) {
      const std::string log = ReadTextFile(folder + L"\\zavex_updater.log").substr(logBefore);
      EXPECT_NE(log.find("[ERROR] Remote manifest signature is invalid"), std::string::npos) << log;
      EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
      EXPECT_EQ(Record(), recordBefore);
      for (const ReceivedRequest& request : server->Requests()) {
        EXPECT_EQ(request.target.rfind("/manifest.json", 0), 0u) << request.target;
      }
    }
    return exitCode;
  }
};

TEST_F(SignedManifestTest, CheckTrustsOnlyAManifestSignedByACompiledInKey) {
  for (const SignatureCase& c : SignatureCases(newer.ManifestJson())) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RunAgainst(c, L"--check"), c.trusted ? 0u : 1u);
  }
}

TEST_F(SignedManifestTest, SilentUpdateInstallsOnlyAManifestSignedByACompiledInKey) {
  for (const SignatureCase& c : SignatureCases(newer.ManifestJson())) {
    SCOPED_TRACE(c.name);
    // A silent update whose check fails ends with 2, as for any invalid manifest.
    EXPECT_EQ(RunAgainst(c, L"--silent"), c.trusted ? 0u : 2u);
    if (!c.trusted) continue;
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
    Reinstall();
  }
}

TEST_F(SignedManifestTest, AManifestPastOrWithoutItsExpiryIsRefusedAsInvalid) {
  struct Case {
    const char* name;
    std::string expires;
    const char* logged;  // a pattern of the log
    DWORD checkExit;
    DWORD silentExit;
  };
  const Case cases[] = {
      {"expired", "2020-01-01T00:00:00Z",
       "\\[ERROR\\] Remote manifest expired on 2020-01-01T00:00:00Z \\(this computer's clock: "
       "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z\\)",
       1, 2},
      {"without expiry", "", "\\[ERROR\\] Remote manifest has no valid expiry", 1, 2},
      {"expires tomorrow", FormatUtcTimestamp(UtcNow() + 86400),
       "\\[INFO\\] Remote manifest signature verified", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Release offered = newer;
    offered.expires = c.expires;
    RestartServer();
    PublishRelease(*server, offered);
    const size_t logBefore = ReadTextFile(folder + L"\\zavex_updater.log").size();
    EXPECT_EQ(RunUpdater(L"--check").exitCode, c.checkExit);
    const std::string log = ReadTextFile(folder + L"\\zavex_updater.log").substr(logBefore);
    EXPECT_TRUE(std::regex_search(log, std::regex(c.logged))) << log;
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, c.silentExit);
    if (c.silentExit == 0) {
      EXPECT_TRUE(HoldsExactly(folder, offered, Extras()));
      continue;
    }
    EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
    for (const ReceivedRequest& request : server->Requests()) {
      EXPECT_EQ(request.target.rfind("/manifest.json", 0), 0u) << request.target;
    }
  }
}

// A release carries an updater built with another key list (only the
// "stranger" key), as a change of keys does.
class UpdaterInReleaseTest : public UpdaterRunTest {
 protected:
  // Serves release with its manifest signed by the named test key.
  void Publish(const Release& release, const std::string& keyName) {
    RestartServer();
    PublishRelease(*server, release);
    server->SetRoute("/manifest.json.sig", 200, SignatureFor(release.ManifestJson(), keyName));
  }

  const std::string nextUpdater = ReadTextFile(BuildDir() + L"\\stranger\\zavex_updater.exe");
};

TEST_F(UpdaterInReleaseTest, TheRunningUpdaterIsReplacedAndTheNewOneTrustsOnlyItsKeys) {
  ASSERT_FALSE(nextUpdater.empty());
  ASSERT_NE(nextUpdater, ReadTextFile(updaterPath));
  newer.files.push_back({"zavex_updater.exe", nextUpdater});
  Publish(newer, "first");
  // The old copy is the running process: it moves itself aside as ".old",
  // which it cannot delete while it runs.
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_EQ(ReadTextFile(updaterPath), nextUpdater);
  EXPECT_TRUE(HoldsExactly(folder, newer, {L"zavex_updater.log", L"zavex_updater.exe.old"}));

  // The new copy refuses the old key and takes a release signed by the new
  // one, which does not list the updater: the installed copy stays.
  Release third = newer;
  third.version = "3.0.0";
  third.versionCode = 3;
  third.files.pop_back();
  third.files[2].content = "textos v3";
  Publish(third, "first");
  EXPECT_EQ(RunUpdater(L"--check").exitCode, 1u);
  EXPECT_FALSE(FileExists(folder + L"\\zavex_updater.exe.old"));
  Publish(third, "stranger");
  EXPECT_EQ(RunUpdater(L"--check").exitCode, 0u);
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, third, Extras()));
  EXPECT_EQ(ReadTextFile(updaterPath), nextUpdater);
}

using SilentUpdateTest = UpdaterRunTest;

TEST_F(SilentUpdateTest, ClosesTheApplicationUpdatesAndRestartsIt) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);

  const RunResult result = RunUpdater(L"--silent --restart");
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_TRUE(application.Wait(0).has_value());
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras(true)));
  EXPECT_EQ(WaitForLines(folder + L"\\zavexphone_cmdline.txt", 2, kAppStartMs), 2u);
  EXPECT_TRUE(EndsWith(LastLogLine(), "Finished with result: 0 ===")) << LastLogLine();
  // Which way the application was started, the signed-in user's shell or
  // directly with administrator rights, is in the log; Wine has no integrity
  // levels or split tokens, so the rights it got cannot be seen here.
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  const bool throughShell =
      log.find("[INFO] Application started through the desktop shell, as the signed-in user") !=
      std::string::npos;
  const bool directly = log.find("[WARN] Application started directly, with this program's "
                                 "rights: no desktop shell to start it") != std::string::npos;
  EXPECT_NE(throughShell, directly) << log;
}

TEST_F(SilentUpdateTest, WithoutRestartTheApplicationStaysClosed) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);

  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(application.Wait(0).has_value());
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras(true)));
  EXPECT_FALSE(IsProcessRunning(folder + L"\\zavexphone.exe"));
}

TEST_F(SilentUpdateTest, AnotherProgramsWindowOfTheSameTitleIsLeftOpen) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);
  TempDir otherFolder;
  const std::wstring otherExe = otherFolder / L"otherphone.exe";
  ASSERT_TRUE(CopyFileW((folder + L"\\zavexphone.exe").c_str(), otherExe.c_str(), FALSE));
  ChildProcess other;
  ASSERT_TRUE(other.Start(otherExe, L""));
  ASSERT_NE(WaitForWindow(other.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);

  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(application.Wait(0).has_value());
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras(true)));
  EXPECT_TRUE(other.running());
}

TEST_F(SilentUpdateTest, NothingNewerLeavesEverythingAsItWas) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);
  PublishRelease(*server, installed);

  EXPECT_EQ(RunUpdater(L"--silent --restart").exitCode, 2u);
  EXPECT_TRUE(application.running());
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras(true)));

  server.reset();
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 2u);
}

TEST_F(SilentUpdateTest, ApplicationIgnoringTheCloseRequestFailsTheUpdate) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L"--ignore-close"));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);
  const std::string before = Record();

  EXPECT_EQ(RunUpdater(L"--silent --restart").exitCode, 1u);
  EXPECT_TRUE(application.running());
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras(true)));
  EXPECT_EQ(Record(), before);
  EXPECT_EQ(CountLines(ReadTextFile(folder + L"\\zavexphone_cmdline.txt")), 1u);
}

TEST_F(SilentUpdateTest, StartedBesidePlantedDllsLoadsNoneAndWorksAsUsual) {
  TempDir downloads;
  const std::wstring runner = CopyUpdaterTo(downloads.path());
  PlantedDlls planted(downloads.path());
  ASSERT_TRUE(planted.planted());
  const std::wstring target = L" --path=\"" + folder + L"\"";

  EXPECT_EQ(RunProcess(runner, L"--check" + target).exitCode, 0u);
  EXPECT_EQ(RunProcess(runner, L"--silent" + target).exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, {L"zavex_updater.exe"}));
  EXPECT_EQ(RunProcess(runner, L"--check" + target).exitCode, 2u);
  EXPECT_EQ(planted.Loaded(), std::vector<std::wstring>{});
}

using SelfUpdateTest = UpdaterRunTest;

TEST_F(SelfUpdateTest, CopiesTheRunningExecutableOverTheInstalledUpdater) {
  const std::wstring installedUpdater = folder + L"\\zavex_updater.exe";
  const std::wstring source = BuildDir() + L"\\zavex_updater.exe";
  WriteTextFile(installedUpdater, "stale updater");
  const std::wstring arguments = L"--self-update --path=\"" + folder + L"\"";
  EXPECT_EQ(RunProcess(source, arguments).exitCode, 0u);
  EXPECT_EQ(ReadTextFile(installedUpdater), ReadTextFile(source));

  UniqueFile reader(CreateFileW(installedUpdater.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  EXPECT_EQ(RunProcess(source, arguments).exitCode, 1u);
}

class UninstallModeTest : public MachineStateTest {
 protected:
  void SetUp() override {
    MachineStateTest::SetUp();
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(InstallStandInRelease(server, folder));
    runner = CopyUpdaterTo(runnerFolder.path());
  }

  // Starts "--uninstall" for the folder and answers the question.
  ChildProcess StartUninstall(const std::wstring& target, int answer) {
    ChildProcess process;
    EXPECT_TRUE(process.Start(runner, L"--uninstall --path=\"" + target + L"\""));
    HWND question = WaitForMessageBox(process.id(), L"Confirmar Desinstalação");
    EXPECT_NE(question, nullptr);
    EXPECT_EQ(GetMessageBoxText(question), L"Tem certeza que deseja desinstalar o Zavex Phone?");
    EXPECT_EQ(BoxButtons(question), (std::vector<int>{IDYES, IDNO}));
    EXPECT_NE(BoxIcon(question), nullptr);
    AnswerMessageBox(question, answer);
    return process;
  }

  // Answers the outcome box and returns its text and the exit code.
  std::pair<std::wstring, DWORD> Outcome(ChildProcess& process, const std::wstring& caption) {
    HWND box = WaitForMessageBox(process.id(), caption);
    EXPECT_NE(box, nullptr) << WideToUtf8(caption);
    const std::wstring text = box ? GetMessageBoxText(box) : L"";
    // Which icon it is cannot be read from another process under Wine.
    EXPECT_EQ(BoxButtons(box), std::vector<int>{IDOK});
    EXPECT_NE(BoxIcon(box), nullptr);
    AnswerMessageBox(box, IDOK);
    return {text, process.Wait(20000).value_or(99)};
  }

  bool InstallationIntact() const {
    return UserRegistryKeyExists(kUninstallKey) && FileExists(DesktopShortcutPath()) &&
           FileExists(folder + L"\\manifest.json");
  }

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir temp;
  TempDir runnerFolder;
  const std::wstring folder = temp / L"Zavex Phone";
  std::wstring runner;
};

TEST_F(UninstallModeTest, ConfirmedUninstallRemovesTheInstallation) {
  ChildProcess process = StartUninstall(folder, IDYES);
  const auto [text, exitCode] = Outcome(process, L"Desinstalação Concluída");
  EXPECT_EQ(text, L"Zavex Phone foi desinstalado com sucesso.");
  EXPECT_EQ(exitCode, 0u);
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
  EXPECT_FALSE(UserRegistryKeyExists(L"Software\\Classes\\tel"));
  EXPECT_FALSE(FileExists(DesktopShortcutPath()));
  EXPECT_FALSE(FileExists(StartMenuShortcutPath()));
  EXPECT_FALSE(FolderExists(folder));
  // Every removal succeeded: none is reported as failed.
  EXPECT_EQ(ReadTextFile(runnerFolder / L"zavex_updater.log").find("failed, going on"),
            std::string::npos);
}

TEST_F(UninstallModeTest, ConfirmedUninstallBesidePlantedDllsLoadsNone) {
  PlantedDlls planted(runnerFolder.path());
  ASSERT_TRUE(planted.planted());
  ChildProcess process = StartUninstall(folder, IDYES);
  const auto [text, exitCode] = Outcome(process, L"Desinstalação Concluída");
  EXPECT_EQ(text, L"Zavex Phone foi desinstalado com sucesso.");
  EXPECT_EQ(exitCode, 0u);
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
  EXPECT_FALSE(FolderExists(folder));
  EXPECT_EQ(planted.Loaded(), std::vector<std::wstring>{});
}

TEST_F(UninstallModeTest, DeclinedUninstallChangesNothing) {
  ChildProcess process = StartUninstall(folder, IDNO);
  EXPECT_EQ(process.Wait(20000).value_or(99), 0u);
  EXPECT_TRUE(InstallationIntact());
}

TEST_F(UninstallModeTest, ApplicationThatStaysOpenFailsWithNothingRemoved) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L"--ignore-close"));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", kAppStartMs), nullptr);
  ChildProcess process = StartUninstall(folder, IDYES);
  const auto [text, exitCode] = Outcome(process, L"Erro na Desinstalação");
  EXPECT_EQ(text, L"Por favor, feche o Zavex Phone antes de desinstalar.");
  EXPECT_EQ(exitCode, 1u);
  EXPECT_TRUE(InstallationIntact());
  EXPECT_TRUE(application.running());
}

// A file held open without delete sharing, as the running copy of an
// uninstall started from the folder is: it stays, and the log says why.
TEST_F(UninstallModeTest, FileThatCannotBeRemovedIsLoggedWithTheWindowsError) {
  const UniqueFile held(CreateFileW((folder + L"\\bin\\app.dll").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  ChildProcess process = StartUninstall(folder, IDYES);
  EXPECT_EQ(Outcome(process, L"Desinstalação Concluída").second, 0u);
  EXPECT_TRUE(FileExists(folder + L"\\bin\\app.dll"));
  EXPECT_FALSE(FileExists(folder + L"\\zavexphone.exe"));
  EXPECT_NE(ReadTextFile(runnerFolder / L"zavex_updater.log")
                .find("[WARN] Removing the installation folder " + WideToUtf8(folder) +
                      " failed, going on (Windows error 32)\r\n"),
            std::string::npos);
}

TEST_F(UninstallModeTest, FolderWithoutARecordSurvives) {
  TempDir userFolder;
  WriteTextFile(userFolder / L"notes.txt", "keep me");
  ChildProcess process = StartUninstall(userFolder.path(), IDYES);
  EXPECT_EQ(Outcome(process, L"Desinstalação Concluída").second, 0u);
  EXPECT_EQ(ReadTextFile(userFolder / L"notes.txt"), "keep me");
  EXPECT_FALSE(UserRegistryKeyExists(kUninstallKey));
}

}  // namespace
}  // namespace zavex::test
