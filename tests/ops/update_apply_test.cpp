#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "app/invocation.h"
#include "base/text_conversion.h"
#include "formats/manifest.h"
#include "formats/utc_time.h"
#include "ops/manifest_signature.h"
#include "ops/placing_phase.h"
#include "ops/release_fixture.h"
#include "ops/updater.h"
#include "platform/host_shell.h"
#include "platform/manifest_file.h"
#include "platform/unique_handle.h"
#include "support/process.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

class UpdateApplyTest : public MachineStateTest {
 protected:
  void SetUp() override {
    MachineStateTest::SetUp();
    ASSERT_TRUE(server.listening());
    installed.files = {{"zavexphone.exe", "app v1"},
                       {"lib/a.dll", GeneratedBytes(0, 30000)},
                       {"same.txt", "unchanged"},
                       {"old.txt", "removed in v2"}};
    newer = Release{"2.0.0", 2,
                    {{"zavexphone.exe", "app v2"},
                     {"lib/a.dll", GeneratedBytes(7, 40000)},
                     {"same.txt", "unchanged"},
                     {"new/deep/b.dll", "b v2"}}};
    InstallReleaseLocally(folder(), installed);
    PublishRelease(server, newer);
  }

  const std::wstring& folder() const { return temp.path(); }
  std::string Record() const { return ReadTextFile(folder() + L"\\manifest.json"); }

  OperationResult Update(ProgressCallback progress = {}) {
    Updater updater(folder(), CompiledReleaseServer());
    std::wstring error;
    updater.CheckForUpdates(error);
    updater.onProgress = std::move(progress);
    return RunToCompletion(updater, &Updater::StartUpdate);
  }

  HttpServer server{ServerPortFromBaseUrl()};
  TempDir temp;
  Release installed;
  Release newer;
};

TEST_F(UpdateApplyTest, ReplacesChangedFilesDeletesRemovedOnesAndCleansLeftovers) {
  WriteTextFile(folder() + L"\\x.tmp", "leftover");
  CreateDirectoryW((folder() + L"\\sub").c_str(), nullptr);
  CreateDirectoryW((folder() + L"\\sub\\deep").c_str(), nullptr);
  WriteTextFile(folder() + L"\\sub\\deep\\y.old", "leftover");
  WriteTextFile(folder() + L"\\sub\\X.TMP", "kept: other letter case");
  WriteTextFile(folder() + L"\\sub\\Y.OLD", "kept: other letter case");
  WriteTextFile(folder() + L"\\sub\\.old", "kept: no name before the suffix");

  ProgressRecorder recorder;
  const OperationResult result = Update(recorder.Callback());
  ASSERT_TRUE(result.finished);
  EXPECT_TRUE(result.success) << WideToUtf8(result.error);
  EXPECT_TRUE(HoldsExactly(folder(), newer, {L"sub\\X.TMP", L"sub\\Y.OLD", L"sub\\.old"}));

  for (const ReceivedRequest& request : server.Requests()) {
    EXPECT_NE(request.target.find("?nocache="), std::string::npos) << request.target;
    EXPECT_EQ(request.target.find("same.txt"), std::string::npos);
  }
  ASSERT_FALSE(recorder.reports().empty());
  const ProgressReport& last = recorder.reports().back();
  EXPECT_EQ(last.text, L"Salvando configurações...");
  EXPECT_EQ(last.current, 3);
  EXPECT_EQ(last.total, 3);
  EXPECT_EQ(last.bytesDone, 6u + 40000u + 4u);
  EXPECT_EQ(last.bytesTotal, last.bytesDone);
}

TEST_F(UpdateApplyTest, OnlyRemovalsStillRewriteTheRecord) {
  Release fewer = installed;
  fewer.versionCode = 2;
  fewer.files.pop_back();
  PublishRelease(server, fewer);
  EXPECT_TRUE(Update().success);
  EXPECT_TRUE(HoldsExactly(folder(), fewer));
}

TEST_F(UpdateApplyTest, NothingToChangeLeavesTheRecordAlone) {
  Release relabelled = installed;
  relabelled.version = "1.0.1";
  relabelled.versionCode = 2;
  PublishRelease(server, relabelled);
  const std::string before = Record();
  EXPECT_TRUE(Update().success);
  EXPECT_EQ(Record(), before);
}

TEST_F(UpdateApplyTest, WithoutAnEarlierCheckTheUpdateChecksItself) {
  Updater updater(folder(), CompiledReleaseServer());
  EXPECT_TRUE(RunToCompletion(updater, &Updater::StartUpdate).success);
  EXPECT_TRUE(HoldsExactly(folder(), newer));

  Updater upToDate(folder(), CompiledReleaseServer());
  EXPECT_EQ(RunToCompletion(upToDate, &Updater::StartUpdate).error,
            L"Falha ao verificar atualização");
}

TEST_F(UpdateApplyTest, PathsThatOnlyChangeSpellingKeepTheirFile) {
  const Release spelled{"1.0.0", 1,
                        {{"zavexphone.exe", "app v1"},
                         {"Lib/Codec.dll", "codec v1"},
                         {"plugins\\video.dll", "video"},
                         {"AÇÃO.dll", "ação"}}};
  const Release respelled{"1.1.0", 2,
                          {{"zavexphone.exe", "app v1"},
                           {"lib/codec.dll", "codec v2"},
                           {"plugins/video.dll", "video"},
                           {"ação.dll", "ação"}}};
  TempDir other;
  InstallReleaseLocally(other.path(), spelled);
  PublishRelease(server, respelled);
  Updater updater(other.path(), CompiledReleaseServer());
  EXPECT_TRUE(RunToCompletion(updater, &Updater::StartUpdate).success);

  for (const ReleaseFile& file : respelled.files) {
    EXPECT_EQ(ReadTextFile(PathIn(other.path(), file.path)), file.content) << file.path;
  }
  // Beside them the record, the id and the channel.
  EXPECT_EQ(ListFiles(other.path()).size(), respelled.files.size() + 3);
  EXPECT_EQ(ReadTextFile(other / L"manifest.json"), respelled.RecordText());
  std::wstring error;
  EXPECT_FALSE(Updater(other.path(), CompiledReleaseServer()).CheckForUpdates(error).updateAvailable);
  EXPECT_EQ(error, L"");
}

TEST_F(UpdateApplyTest, FailedFileKeepsEveryInstalledFileAndTheRecord) {
  struct Fault {
    const char* name;
    HttpRoute route;
    std::wstring error;
  };
  HttpRoute cut;
  cut.body = newer.files[1].content;
  cut.cutAfterBytes = 10000;
  Fault faults[] = {
      {"missing", Answer(404, "Not Found"), L"Falha ao baixar: lib/a.dll"},
      {"damaged", Answer(200, GeneratedBytes(8, 40000)), L"Hash inválido para: lib/a.dll"},
      {"cut off", cut, L"Falha ao baixar: lib/a.dll"},
  };
  const std::string before = Record();
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    server.SetRoute("/lib/a.dll", fault.route);
    EXPECT_EQ(Update().error, fault.error);
    EXPECT_TRUE(HoldsOldOrNewFiles(folder(), installed, newer));
    EXPECT_EQ(ReadTextFile(folder() + L"\\lib\\a.dll"), installed.files[1].content);
    EXPECT_FALSE(FileExists(folder() + L"\\lib\\a.dll.tmp"));
    EXPECT_TRUE(FileExists(folder() + L"\\old.txt"));
    EXPECT_EQ(Record(), before);
  }
  PublishRelease(server, newer);
  EXPECT_TRUE(Update().success);
  EXPECT_TRUE(HoldsExactly(folder(), newer));
}

// The manifest expires after the check: while the window waits, and while
// the files come. Either way nothing is placed and the old release stays.
TEST_F(UpdateApplyTest, ManifestThatExpiresAfterTheCheckIsRefusedBeforeAnythingIsPlaced) {
  const std::string before = Record();
  for (const bool duringTheDownloads : {false, true}) {
    SCOPED_TRACE(duringTheDownloads ? "during the downloads" : "while the window waits");
    newer.expires = FormatUtcTimestamp(UtcNow() + 2);
    PublishRelease(server, newer);
    server.SetRoute("/lib/a.dll", SlowAnswer(newer.files[1].content, 4000, 300));
    Updater updater(folder(), CompiledReleaseServer());
    std::wstring error;
    ASSERT_TRUE(updater.CheckForUpdates(error).updateAvailable) << WideToUtf8(error);
    if (!duringTheDownloads) Sleep(3000);
    EXPECT_EQ(RunToCompletion(updater, &Updater::StartUpdate).error, L"Manifest inválido");
    EXPECT_EQ(RequestsUnder(server, "/lib/a.dll"), duringTheDownloads ? 1u : 0u);
    EXPECT_TRUE(HoldsExactly(folder(), installed));
    EXPECT_EQ(Record(), before);
  }
}

TEST_F(UpdateApplyTest, FileBehindALinkInTheInstallationFailsAndNothingIsWrittenThrough) {
  TempDir foreign;
  WriteTextFile(foreign / L"a.dll", "foreign");
  ASSERT_TRUE(DeleteTree(folder() + L"\\lib"));
  if (!CreateFolderLink(folder() + L"\\lib", foreign.path())) {
    GTEST_SKIP() << "folder links cannot be made here";
  }
  const std::string record = Record();
  const OperationResult result = Update();
  ASSERT_TRUE(result.finished);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error, L"Falha ao instalar: lib/a.dll");
  EXPECT_EQ(ListFiles(foreign.path()), std::vector<std::wstring>{L"a.dll"});
  EXPECT_TRUE(ReadTextFile(foreign / L"a.dll") == "foreign");
  EXPECT_EQ(Record(), record);
}

TEST_F(UpdateApplyTest, OptionalFileThatFailsIsFetchedByTheNextRelease) {
  newer.files[1].required = false;
  newer.files.push_back({"extras/optional.bin", "optional", false});
  PublishRelease(server, newer);
  server.SetRoute("/lib/a.dll", 404, "Not Found");
  server.SetRoute("/extras/optional.bin", 404, "Not Found");
  EXPECT_TRUE(Update().success);
  EXPECT_FALSE(FileExists(folder() + L"\\extras\\optional.bin"));
  EXPECT_EQ(ReadTextFile(folder() + L"\\lib\\a.dll"), installed.files[1].content);
  const Manifest record = LoadManifestFile(folder() + L"\\manifest.json");
  ASSERT_EQ(record.files.size(), 4u);
  EXPECT_EQ(record.files[1].path, "lib/a.dll");
  EXPECT_EQ(record.files[1].hash, Sha256Hex(installed.files[1].content));
  EXPECT_EQ(record.files[3].path, "new/deep/b.dll");

  // The next release lists both unchanged: both arrive.
  Release third = newer;
  third.version = "3.0.0";
  third.versionCode = 3;
  PublishRelease(server, third);
  EXPECT_TRUE(Update().success);
  EXPECT_TRUE(HoldsExactly(folder(), third));
}

TEST_F(UpdateApplyTest, CancelDuringTheDownloadsKeepsTheOldRecord) {
  const std::string before = Record();
  Updater updater(folder(), CompiledReleaseServer());
  std::wstring error;
  updater.CheckForUpdates(error);
  ProgressRecorder recorder;
  updater.onProgress = recorder.Callback([&updater](const ProgressReport& report) {
    if (report.text == L"zavexphone.exe") updater.Cancel();
  });
  EXPECT_TRUE(IsCancelText(RunToCompletion(updater, &Updater::StartUpdate).error, newer));
  // Files that arrived before the cancel took effect are not placed either.
  EXPECT_TRUE(HoldsExactly(folder(), installed));
  EXPECT_EQ(Record(), before);
}

TEST_F(UpdateApplyTest, CancelEndsADownloadThatWaitsOnASilentServer) {
  HttpRoute stalled;
  stalled.body = newer.files[1].content;
  stalled.stallAfterBytes = 20000;
  server.SetRoute("/lib/a.dll", stalled);
  // Only lib/a.dll changes, so that its transfer is the one the cancel cuts.
  newer.files[0] = installed.files[0];
  newer.files.pop_back();
  PublishRelease(server, newer);
  const std::string before = Record();
  Updater updater(folder(), CompiledReleaseServer());
  std::wstring error;
  ASSERT_TRUE(updater.CheckForUpdates(error).updateAvailable);
  const OperationResult result = CancelAtMilestone(updater, &Updater::StartUpdate,
                                                   ProgressMilestone(L"lib/a.dll", 20000));
  ASSERT_TRUE(result.finished) << "the cancel waited for the network";
  EXPECT_EQ(result.error, L"Falha ao baixar: lib/a.dll");
  EXPECT_FALSE(FileExists(folder() + L"\\lib\\a.dll.tmp"));
  EXPECT_EQ(ReadTextFile(folder() + L"\\lib\\a.dll"), installed.files[1].content);
  EXPECT_EQ(Record(), before);
}

// Six transfers wait on a silent server; the cancel ends them all at once,
// starts no other and places nothing.
TEST_F(UpdateApplyTest, CancelWhileSixTransfersRunEndsThemWithinASecond) {
  newer.files = NumberedFiles(200, 3000, 0);
  PublishRelease(server, newer);
  for (const ReleaseFile& file : newer.files) {
    HttpRoute stalled;
    stalled.body = file.content;
    stalled.stallAfterBytes = 1000;
    server.SetRoute("/" + file.path, stalled);
  }
  const auto fileRequests = [this] { return RequestsUnder(server, "/data/"); };
  const std::string before = Record();
  Updater updater(folder(), CompiledReleaseServer());
  std::wstring error;
  ASSERT_TRUE(updater.CheckForUpdates(error).updateAvailable);
  ProgressRecorder recorder;
  updater.onProgress = recorder.Callback();
  CompletionProbe probe;
  updater.onComplete = probe.Callback();
  updater.StartUpdate();
  const ULONGLONG deadline = GetTickCount64() + 30000;
  while (fileRequests() < kMaxParallelTransfers && GetTickCount64() < deadline) Sleep(10);
  ASSERT_EQ(fileRequests(), kMaxParallelTransfers);
  Sleep(200);  // every transfer has its first bytes and waits

  const ULONGLONG cancelledAt = GetTickCount64();
  updater.Cancel();
  const OperationResult result = probe.Wait(kCancelWaitSeconds);
  const ULONGLONG stopMs = GetTickCount64() - cancelledAt;
  ASSERT_TRUE(result.finished);
  EXPECT_LT(stopMs, 1000u);
  EXPECT_EQ(result.error.rfind(L"Falha ao baixar: data/", 0), 0u) << WideToUtf8(result.error);
  EXPECT_EQ(fileRequests(), kMaxParallelTransfers);
  EXPECT_TRUE(HoldsExactly(folder(), installed));
  EXPECT_EQ(Record(), before);

  // Six files in flight, none finished: the bar shows their bytes and never
  // moves back.
  const std::vector<ProgressReport>& reports = recorder.reports();
  ASSERT_FALSE(reports.empty());
  for (size_t i = 1; i < reports.size(); ++i) {
    EXPECT_GE(reports[i].bytesDone, reports[i - 1].bytesDone);
    EXPECT_EQ(reports[i].current, 0);
  }
  EXPECT_EQ(reports.back().bytesDone, 6u * 1000u);
}

TEST_F(UpdateApplyTest, UpdaterReleasedWhileRunningLetsTheWorkerFinish) {
  server.SetRoute("/lib/a.dll", SlowAnswer(newer.files[1].content, 2048, 10));
  CompletionProbe probe;
  {
    auto updater = std::make_unique<Updater>(folder(), CompiledReleaseServer());
    std::wstring error;
    ASSERT_TRUE(updater->CheckForUpdates(error).updateAvailable);
    updater->onComplete = probe.Callback();
    updater->StartUpdate();
  }
  const OperationResult result = probe.Wait();
  ASSERT_TRUE(result.finished);
  EXPECT_FALSE(result.success);
  EXPECT_TRUE(HoldsOldOrNewFiles(folder(), installed, newer));
}

TEST_F(UpdateApplyTest, RecordThatCannotBeReplacedFailsAndStaysIntact) {
  const std::string before = Record();
  {
    UniqueFile reader(CreateFileW((folder() + L"\\manifest.json").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(Update().error, L"Falha ao salvar manifest.json");
  }
  EXPECT_EQ(Record(), before);
  EXPECT_FALSE(FileExists(folder() + L"\\manifest.json.tmp"));
  // The previous versions stay until a record names the new ones.
  EXPECT_EQ(ReadTextFile(folder() + L"\\zavexphone.exe.old"), "app v1");
  EXPECT_EQ(ReadTextFile(folder() + L"\\lib\\a.dll.old"), installed.files[1].content);
  EXPECT_TRUE(Update().success);
  EXPECT_TRUE(HoldsExactly(folder(), newer));
}

TEST_F(UpdateApplyTest, FileThatCannotBePlacedPutsBackEveryFilePlacedBefore) {
  newer.files = {{"zavexphone.exe", "app v2"},
                 {"new/first.dll", "first"},
                 {"lib/a.dll", GeneratedBytes(7, 40000)},
                 {"same.txt", "changed"},
                 {"new/deep/b.dll", "b v2"}};
  PublishRelease(server, newer);
  const std::string before = Record();
  {
    UniqueFile held(CreateFileW((folder() + L"\\lib\\a.dll").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(Update().error, L"Falha ao instalar: lib/a.dll");
  }
  EXPECT_TRUE(HoldsExactly(folder(), installed));
  EXPECT_EQ(Record(), before);

  EXPECT_TRUE(Update().success);
  EXPECT_TRUE(HoldsExactly(folder(), newer));
}

// Requests of the server manifest, and of any file that names the record
// (its signature not counted).
size_t ManifestRequests(const HttpServer& server) {
  size_t count = 0;
  for (const ReceivedRequest& request : server.Requests()) {
    std::string path = request.target.substr(0, request.target.find('?'));
    for (char& c : path) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (path.size() >= 13 && path.compare(path.size() - 13, 13, "manifest.json") == 0) ++count;
  }
  return count;
}

TEST_F(UpdateApplyTest, ListedManifestIsNeverDownloaded) {
  const std::string before = Record();
  size_t checks = 0;
  for (const char* listed : {"manifest.json", "MANIFEST.JSON", "./Manifest.json"}) {
    SCOPED_TRACE(listed);
    Release withRecord = newer;
    withRecord.files.insert(withRecord.files.begin(), {listed, "{\"served\": \"document\"}"});
    PublishRelease(server, withRecord);
    // The server's manifest is itself the listed file of that name.
    server.SetRoute("/manifest.json", 200, withRecord.ManifestJson());
    server.SetRoute("/new/deep/b.dll", 404, "Not Found");
    EXPECT_EQ(Update().error, L"Falha ao baixar: new/deep/b.dll");
    EXPECT_EQ(Record(), before);

    server.SetRoute("/new/deep/b.dll", 200, "b v2");
    EXPECT_TRUE(Update().success);
    for (const ReleaseFile& file : newer.files) {
      EXPECT_EQ(ReadTextFile(PathIn(folder(), file.path)), file.content) << file.path;
    }
    EXPECT_EQ(Record(), withRecord.RecordText());
    checks += 2;
    EXPECT_EQ(ManifestRequests(server), checks);
    InstallReleaseLocally(folder(), installed);
    DeleteTree(folder() + L"\\new");
  }
}

TEST_F(UpdateApplyTest, ApplicationIsGivenTenSecondsToClose) {
  struct Case {
    const wchar_t* options;
    bool elsewhere;  // started from another folder: not the installation's
    bool updated;
  };
  // A window that ignores the request, or a process without one, keeps the
  // update waiting for all 10 s; closing after 3 s is within the limit. A
  // program of that name elsewhere does not count.
  const Case cases[] = {{L"--ignore-close", false, false},
                        {L"--no-window", false, false},
                        {L"--ignore-close", true, true},
                        {L"--close-delay=3000", false, true}};
  installed.files[0].content = ReadTextFile(BuildDir() + L"\\zavexphone.exe");
  const std::vector<std::wstring> startedOnce = {L"zavexphone_cmdline.txt"};
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.options) + (c.elsewhere ? " elsewhere" : ""));
    InstallReleaseLocally(folder(), installed);
    DeleteFileW((folder() + L"\\zavexphone_cmdline.txt").c_str());
    ChildProcess application;
    const std::wstring& from = c.elsewhere ? BuildDir() : folder();
    ASSERT_TRUE(application.Start(from + L"\\zavexphone.exe", c.options));
    if (std::wstring(c.options) != L"--no-window") {
      ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone"), nullptr);
    }
    const ULONGLONG start = GetTickCount64();
    const OperationResult result = Update();
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(result.success, c.updated) << WideToUtf8(result.error);
    if (c.updated) {
      EXPECT_EQ(application.Wait(0).has_value(), !c.elsewhere);
      EXPECT_TRUE(HoldsExactly(folder(), newer, c.elsewhere ? std::vector<std::wstring>{} : startedOnce));
    } else {
      EXPECT_EQ(result.error, L"Não foi possível fechar o Zavex Phone. Por favor, feche manualmente.");
      EXPECT_TRUE(application.running());
      // Twenty waits of half a second: a lower bound only.
      EXPECT_GE(elapsed, 10000u);
      EXPECT_TRUE(HoldsExactly(folder(), installed, startedOnce));
    }
    application.Kill();
  }
}

TEST(SwapIntoPlaceTest, KeepsThePreviousFileWhenTheNewOneCannotBePlaced) {
  TempDir temp;
  const std::wstring finalPath = temp / L"app.dll";
  WriteTextFile(finalPath, "old");
  WriteTextFile(finalPath + L".tmp", "new");
  bool previousKept = false;
  EXPECT_TRUE(SwapIntoPlace(finalPath + L".tmp", finalPath, previousKept));
  EXPECT_TRUE(previousKept);
  EXPECT_EQ(ReadTextFile(finalPath), "new");
  EXPECT_EQ(ReadTextFile(finalPath + L".old"), "old");
  EXPECT_FALSE(FileExists(finalPath + L".tmp"));

  // No new file to move or copy: the previous version goes back in place.
  EXPECT_FALSE(SwapIntoPlace(temp / L"missing.tmp", finalPath, previousKept));
  EXPECT_FALSE(previousKept);
  EXPECT_EQ(ReadTextFile(finalPath), "new");
  EXPECT_FALSE(FileExists(finalPath + L".old"));

  // A previous version that cannot be kept is not replaced.
  WriteTextFile(finalPath + L".tmp", "newer");
  {
    UniqueFile held(CreateFileW(finalPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr));
    ASSERT_TRUE(held);
    EXPECT_FALSE(SwapIntoPlace(finalPath + L".tmp", finalPath, previousKept));
  }
  EXPECT_EQ(ReadTextFile(finalPath), "new");
  EXPECT_EQ(ReadTextFile(finalPath + L".tmp"), "newer");

  // Nothing to move aside.
  WriteTextFile(temp / L"fresh.dll.tmp", "fresh");
  EXPECT_TRUE(SwapIntoPlace(temp / L"fresh.dll.tmp", temp / L"fresh.dll", previousKept));
  EXPECT_FALSE(previousKept);
  EXPECT_EQ(ReadTextFile(temp / L"fresh.dll"), "fresh");
  EXPECT_FALSE(FileExists(temp / L"fresh.dll.old"));
}

}  // namespace
}  // namespace zavex::test
