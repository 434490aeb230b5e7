#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>

#include "formats/manifest.h"
#include "formats/placing_journal.h"
#include "ops/download_phase.h"
#include "ops/request_retry.h"
#include "ops/updater_run_fixture.h"
#include "platform/unique_handle.h"

namespace zavex::test {
namespace {

// The heads of the requests for path, in the order they came.
std::vector<std::string> HeadsOfRequestsFor(const HttpServer& server, const std::string& path) {
  std::vector<std::string> heads;
  for (const ReceivedRequest& request : server.Requests()) {
    if (request.target.rfind(path, 0) == 0) heads.push_back(request.head);
  }
  return heads;
}

class UpdateFaultTest : public UpdaterRunTest {
 protected:
  static HttpRoute SlowRoute(const std::string& body) { return SlowAnswer(body, 4096, 20); }

  // The old release installed and newer published, extra.txt answered with
  // answers in turn.
  void PrepareRun(const std::vector<HttpRoute>& answers) {
    Reinstall();
    RestartServer();
    PublishRelease(*server, newer);
    server->SetRoutes("/res/new/extra.txt", answers);
  }

  // Publishes newer properly and expects the next run to install it whole.
  void ExpectSecondRunCompletesTheUpdate() {
    RestartServer();
    PublishRelease(*server, newer);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  }

  // The files below folder whose names end in suffix.
  std::vector<std::wstring> FilesEndingIn(const std::wstring& suffix) const {
    std::vector<std::wstring> found;
    for (const std::wstring& file : ListFiles(folder)) {
      if (file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
        found.push_back(file);
      }
    }
    return found;
  }

  // installed and newer of kManyFiles numbered files, every one changed.
  void UseManyFiles() {
    installed.files = NumberedFiles(kManyFiles, 20, 1);
    newer.files = NumberedFiles(kManyFiles, 3000, 0);
    Reinstall();
    PublishRelease(*server, newer);
  }

  // Serves every file of newer in pieces, so that transfers overlap.
  void ServeSlowly(size_t pieceBytes, DWORD pieceDelayMs) {
    for (const ReleaseFile& file : newer.files) {
      server->SetRoute("/" + file.path, SlowAnswer(file.content, pieceBytes, pieceDelayMs));
    }
  }

  size_t FileRequests() const { return RequestsUnder(*server, "/data/"); }

  static constexpr int kManyFiles = 200;

  // The installation is the old release, beside partial downloads at most.
  ::testing::AssertionResult HoldsTheOldRelease() const {
    std::vector<std::wstring> extras = Extras();
    for (const std::wstring& partial : FilesEndingIn(L".tmp")) extras.push_back(partial);
    // What a killed run keeps for the next one to continue.
    for (const std::wstring& file : ListFiles(folder)) {
      if (file.rfind(L"zavex_staging\\", 0) == 0) extras.push_back(file);
    }
    return HoldsExactly(folder, installed, extras);
  }
};

TEST_F(UpdateFaultTest, FailureOnTheLastFileLeavesTheOldReleaseAndTheNextRunSucceeds) {
  newer.files[3].content = GeneratedBytes(9, 60000);
  HttpRoute cut;
  cut.body = newer.files[3].content;
  cut.cutAfterBytes = 20000;
  // Bodies without end: a run that wrote them whole would not end in time.
  HttpRoute endless;
  endless.generatedSize = 100ull << 30;
  endless.chunked = true;
  HttpRoute announcedLonger = endless;
  announcedLonger.chunked = false;
  const struct {
    const char* name;
    HttpRoute route;
    const char* reason;
  } faults[] = {
      {"required file missing", Answer(404, "Not Found"), "(HTTP 404 via direct)"},
      {"hash mismatch", Answer(200, GeneratedBytes(4, 60000)), "HASH MISMATCH"},
      {"body cut off", cut, "(body cut short after "},
      {"more bytes than its size", endless, "(more than 60000 bytes received via direct)"},
      {"longer Content-Length", announcedLonger, "(Content-Length 107374182400 for 60000 bytes via direct)"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    PrepareRun({fault.route});
    EXPECT_EQ(RunUpdater(L"--silent", 60000).exitCode, 1u);
    EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
    EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log").find(fault.reason), std::string::npos);
    ExpectSecondRunCompletesTheUpdate();
  }
}

TEST_F(UpdateFaultTest, KilledDuringTheDownloadsLeavesTheOldRelease) {
  newer.files[3].content = GeneratedBytes(9, 60000);
  PublishRelease(*server, newer);
  server->SetRoute("/res/new/extra.txt", SlowRoute(newer.files[3].content));
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  ASSERT_TRUE(WaitForRequest("/res/new/extra.txt", 30000));
  Sleep(100);
  updater.Kill();
  EXPECT_TRUE(HoldsTheOldRelease());
  ExpectSecondRunCompletesTheUpdate();
}

// A transient failure is tried again after a pause; a file cut off is
// continued where it ended when the server serves ranges, otherwise fetched
// again whole. Attempts that each brought a MiB or more do not use up the
// retries.
TEST_F(UpdateFaultTest, TransientFailuresAreRetriedAndCutFilesContinued) {
  constexpr size_t kLargeBytes = 6 << 20;
  newer.files[3].content = GeneratedBytes(9, kLargeBytes);
  HttpRoute busy = Answer(503, "busy");
  busy.headers = "Retry-After: 2\r\n";
  HttpRoute whole = SlowAnswer(newer.files[3].content, 65536, 0);
  HttpRoute ranged = whole;
  ranged.servesRanges = true;
  HttpRoute cutRanged = ranged;
  cutRanged.cutAfterBytes = kLargeBytes / 2;
  HttpRoute cutWhole = whole;
  cutWhole.cutAfterBytes = kLargeBytes / 2;
  // Paced, so that the reset discards little of what was sent.
  HttpRoute cutOften = ranged;
  cutOften.cutAfterBytes = 5 << 18;
  cutOften.pieceDelayMs = 5;
  const struct {
    const char* name;
    std::vector<HttpRoute> answers;
    const char* logged;
    uint64_t cutBodyBytes;  // what the answers before the last sent
    bool continued;         // the last asks for the rest and gets it
  } faults[] = {
      {"503 with Retry-After", {busy, whole},
       "Retrying res/new/extra.txt in 2 s (attempt 2 of 4): HTTP 503 via direct", 4, false},
      {"cut off, ranges served", {cutRanged, ranged}, "(attempt 2 of 4): body cut short after ",
       kLargeBytes / 2, true},
      {"cut off, ranges ignored", {cutWhole, whole}, "(attempt 2 of 4): body cut short after ",
       kLargeBytes / 2, false},
      {"cut off four times, ranges served", {cutOften, cutOften, cutOften, cutOften, ranged},
       "(attempt 2 of 4): body cut short after ", 4 * cutOften.cutAfterBytes, true},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    PrepareRun(fault.answers);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
    EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log").find(fault.logged), std::string::npos);
    const std::vector<std::string> heads = HeadsOfRequestsFor(*server, "/res/new/extra.txt");
    ASSERT_EQ(heads.size(), fault.answers.size());
    EXPECT_EQ(heads[0].find("Range:"), std::string::npos);
    const size_t range = heads.back().find("\r\nRange: bytes=");
    EXPECT_EQ(range != std::string::npos, fault.cutBodyBytes > 4);
    const uint64_t from = range == std::string::npos ? 0 : std::stoull(heads.back().substr(range + 15));
    EXPECT_EQ(server->BodyBytesSent("/res/new/extra.txt"),
              fault.cutBodyBytes + kLargeBytes - (fault.continued ? from : 0));
  }
}

// Answers that each bring some of the file and are cut: attempts renew only
// on a high of kept bytes 1 MiB above the last, and no attempt starts that
// could take the fetched bytes past twice the file plus 1 MiB. The run fails
// in time and changes nothing.
TEST_F(UpdateFaultTest, CutsThatNeverCompleteTheFileEndTheRetries) {
  constexpr size_t kMiB = 1 << 20;
  constexpr size_t kLargeBytes = 6 * kMiB;
  newer.files[3].content = GeneratedBytes(9, kLargeBytes);
  const auto cutAt = [&](size_t bytes) {
    HttpRoute cut = SlowAnswer(newer.files[3].content, 65536, 1);
    cut.cutAfterBytes = bytes;
    return cut;
  };
  std::vector<HttpRoute> alternating;
  // A rise of more than 1 MiB over the failure before, though never 1 MiB
  // over the high: a cut may lose the last bytes sent.
  for (int i = 0; i < 20; ++i) alternating.push_back(cutAt(i % 2 ? 9 * kMiB / 4 : kMiB));
  const HttpRoute whole = SlowAnswer(newer.files[3].content, 65536, 0);
  // Paced, so that each reset keeps most of what was sent.
  HttpRoute dripping = SlowAnswer(newer.files[3].content, 16384, 5);
  dripping.servesRanges = true;
  dripping.cutAfterBytes = 64 << 10;
  const struct {
    const char* name;
    std::vector<HttpRoute> answers;
    const char* logged;
  } faults[] = {
      {"cut after 1, 2.25, 1, 2.25... MiB", alternating, "(attempt 4 of 4): body cut short after "},
      {"64 KiB more each time", {dripping}, "(attempt 4 of 4): body cut short after "},
      {"cut ever later", {cutAt(kMiB), cutAt(2 * kMiB), cutAt(3 * kMiB), cutAt(4 * kMiB),
                          cutAt(5 * kMiB), whole},
       "Giving up res/new/extra.txt: "},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    PrepareRun(fault.answers);
    const ULONGLONG start = GetTickCount64();
    const RunResult result = RunUpdater(L"--silent", 90000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_LT(GetTickCount64() - start, 90000u);
    EXPECT_LE(HeadsOfRequestsFor(*server, "/res/new/extra.txt").size(), 10u);
    EXPECT_LE(server->BodyBytesSent("/res/new/extra.txt"), FetchCap(kLargeBytes));
    EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
    EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log").find(fault.logged), std::string::npos);
  }
}

// Records each line and cancels, so that the wait it announces ends at once.
class CancellingLog final : public LogSink {
 public:
  void Write(const std::string&, const std::string& message) override {
    lines.push_back(message);
    cancel.Cancel();
  }
  TransferCancel cancel;
  std::vector<std::string> lines;
};

TEST(RequestRetryTest, RetryAfterIsWaitedAtMostItsCap) {
  for (const uint32_t retryAfter : {3u, 61u, 3600u}) {
    SCOPED_TRACE(retryAfter);
    CancellingLog log;
    const bool succeeded = RetryTransientFailures("file", &log.cancel, log, [&](RequestFailure& failure) {
      failure.transient = true;
      failure.retryAfterSeconds = retryAfter;
      failure.reason = "HTTP 503";
      return false;
    });
    EXPECT_FALSE(succeeded);
    const uint32_t waited = std::min(retryAfter, kMaxRetryAfterSeconds);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Retrying file in " + std::to_string(waited) +
                                                  " s (attempt 2 of 4): HTTP 503"});
  }
}

// A run killed in the middle of a large file leaves it for the next run,
// which asks only for the rest. A partial file left for another entry is
// discarded.
TEST_F(UpdateFaultTest, KilledRunsPartialFileIsContinuedByTheNextRun) {
  constexpr size_t kLargeBytes = 8 << 20;
  newer.files[3].content = GeneratedBytes(9, kLargeBytes);
  PublishRelease(*server, newer);
  HttpRoute slow = SlowAnswer(newer.files[3].content, 65536, 20);
  slow.servesRanges = true;
  server->SetRoute("/res/new/extra.txt", slow);
  const std::wstring partial = folder + L"\\res\\new\\extra.txt.tmp";
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  const ULONGLONG deadline = GetTickCount64() + 60000;
  while (ReadTextFile(partial).size() < kLargeBytes / 2 && GetTickCount64() < deadline) Sleep(20);
  updater.Kill();
  Sleep(200);  // until the server has seen the connection go
  const size_t kept = ReadTextFile(partial).size();
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, kLargeBytes);

  HttpRoute ranged = SlowAnswer(newer.files[3].content, 65536, 0);
  ranged.servesRanges = true;
  server->SetRoute("/res/new/extra.txt", ranged);
  const uint64_t sentBefore = server->BodyBytesSent("/res/new/extra.txt");
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  // Other files download beside it: its own last request is the one to read.
  std::vector<std::string> heads = HeadsOfRequestsFor(*server, "/res/new/extra.txt");
  ASSERT_FALSE(heads.empty());
  EXPECT_NE(heads.back().find("\r\nRange: bytes=" + std::to_string(kept) + "-"),
            std::string::npos);
  EXPECT_EQ(server->BodyBytesSent("/res/new/extra.txt") - sentBefore, kLargeBytes - kept);
  EXPECT_LE(server->BodyBytesSent("/res/new/extra.txt"), kLargeBytes * 11 / 10);
  EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log")
                .find("Continuing the partial download of res/new/extra.txt at byte " +
                      std::to_string(kept)),
            std::string::npos);

  // A partial file left for another release's entry of that path, and one
  // as a power cut may leave it: its length, with zeros for data. Each is
  // fetched from byte 0.
  Release other = newer;
  other.files = {ReleaseFile("res/new/extra.txt", GeneratedBytes(1, kLargeBytes))};
  Release same = newer;
  same.files = {newer.files[3]};
  const struct {
    const char* name;
    const Release& noted;
    std::string partial;
  } leftovers[] = {{"another entry's", other, other.files[0].content.substr(0, kept)},
                   {"zeros", same, std::string(kLargeBytes, '\0')}};
  const std::wstring noteFolder = folder + L"\\zavex_staging\\note\\res\\new";
  for (const auto& leftover : leftovers) {
    SCOPED_TRACE(leftover.name);
    Reinstall();
    SHCreateDirectoryExW(nullptr, noteFolder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\res\\new").c_str(), nullptr);
    ASSERT_TRUE(WriteTextFile(partial, leftover.partial));
    ASSERT_TRUE(WriteTextFile(noteFolder + L"\\extra.txt", SerializeManifest(ParseManifest(leftover.noted.ManifestJson()))));
    RestartServer();
    PublishRelease(*server, newer);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
    EXPECT_FALSE(FileExists(folder + L"\\zavex_staging"));
    heads = HeadsOfRequestsFor(*server, "/res/new/extra.txt");
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads.back().find("Range:"), std::string::npos);
  }
  EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log")
                .find("The continued download of res/new/extra.txt does not match its hash, fetching it "
                      "again from byte 0"),
            std::string::npos);
}

// A server that stops sending, with the application closed for the update:
// the run ends within the stall limit and one retry, and the application
// runs again.
TEST_F(UpdateFaultTest, StalledFileUnderSilentRestartEndsAndStartsTheApplicationAgain) {
  ChildProcess application;
  ASSERT_TRUE(application.Start(folder + L"\\zavexphone.exe", L""));
  ASSERT_NE(WaitForWindow(application.id(), L"", L"Zavex Phone", 20000), nullptr);
  newer.files[3].content = GeneratedBytes(9, 60000);
  PublishRelease(*server, newer);
  HttpRoute stalled;
  stalled.body = newer.files[3].content;
  stalled.stallAfterBytes = 1000;
  server->SetRoutes("/res/new/extra.txt", {stalled, Answer(404, "Not Found")});

  const RunResult result = RunUpdater(L"--silent --restart", 60000);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_TRUE(application.Wait(0).has_value());
  // The stand-in writes its command line once per start.
  const std::wstring starts = folder + L"\\zavexphone_cmdline.txt";
  const ULONGLONG deadline = GetTickCount64() + 20000;
  std::string lines = ReadTextFile(starts);
  while (std::count(lines.begin(), lines.end(), '\n') < 2 && GetTickCount64() < deadline) {
    Sleep(50);
    lines = ReadTextFile(starts);
  }
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2);
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras(true)));
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  EXPECT_NE(log.find("(attempt 2 of 4): stalled: nothing received for 30 s via direct"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Download failed for: res/new/extra.txt (HTTP 404 via direct)"), std::string::npos);
}

TEST_F(UpdateFaultTest, MissingFileIsRestoredFromOld) {
  const std::wstring strings = folder + L"\\res\\strings.txt";
  ASSERT_TRUE(MoveFileW(strings.c_str(), (strings + L".old").c_str()));
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log")
                .find("[WARN] Restored from .old: res/strings.txt"),
            std::string::npos);
}

// The states that a kill in the middle of the placing leaves, laid out by
// hand: the files to place are zavexphone.exe, lib/core.dll and the new
// res/new/extra.txt, in that order.
class CutPlacingTest : public UpdateFaultTest {
 protected:
  std::wstring At(const std::string& path) const { return PathIn(folder, path); }
  const std::string& NewContent(const std::string& path) const { return newer.Find(path)->content; }

  // Swapped: the installed file as ".old", the new one in its place.
  void Swap(const std::string& path) {
    ASSERT_TRUE(MoveFileW(At(path).c_str(), (At(path) + L".old").c_str()));
    ASSERT_TRUE(WriteTextFile(At(path), NewContent(path)));
  }
  // Not reached: the verified download waits as ".tmp".
  void Stage(const std::string& path) { ASSERT_TRUE(WriteTextFile(At(path) + L".tmp", NewContent(path))); }
  // Added without a previous version.
  void Add(const std::string& path) {
    CreateDirectoryW(At("res\\new").c_str(), nullptr);
    ASSERT_TRUE(WriteTextFile(At(path), NewContent(path)));
  }

  std::wstring JournalPath() const { return folder + L"\\zavex_placing.journal"; }
  void WriteJournal(const std::vector<JournalEntry>& entries) {
    ASSERT_TRUE(WriteTextFile(JournalPath(), SerializePlacingJournal(entries)));
  }
  void WriteJournalOfTheUpdate() {
    WriteJournal({{"zavexphone.exe", Sha256Hex(installed.files[0].content), Sha256Hex(newer.files[0].content)},
                  {"lib/core.dll", Sha256Hex(installed.files[1].content), Sha256Hex(newer.files[1].content)},
                  {"res/new/extra.txt", "", Sha256Hex(newer.files[3].content)}});
  }

  std::string Log() const { return ReadTextFile(folder + L"\\zavex_updater.log"); }
  bool Logged(const std::string& line) const { return Log().find(line) != std::string::npos; }

  // With the server down the check fails: --silent ends with 2.
  void RunWithTheServerDown() {
    server.reset();
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 2u);
  }
};

TEST_F(CutPlacingTest, WithoutAJournalASwappedFileIsPutBackAlthoughTheCheckFails) {
  Swap("lib/core.dll");
  // A leftover that is not the recorded version puts nothing back.
  ASSERT_TRUE(WriteTextFile(At("zavexphone.exe.old"), "some other build"));
  RunWithTheServerDown();
  EXPECT_TRUE(HoldsExactly(folder, installed, {L"zavex_updater.exe", L"zavex_updater.log", L"zavexphone.exe.old"}));
  EXPECT_TRUE(Logged("[WARN] Restored from .old: lib/core.dll")) << Log();
  EXPECT_TRUE(Logged("[WARN] The interrupted update was undone (files put back from .old: 1)")) << Log();
}

TEST_F(CutPlacingTest, AJournalUndoesEverySwapAndAdditionAndTheNextUpdateRuns) {
  WriteJournalOfTheUpdate();
  Swap("zavexphone.exe");
  Stage("lib/core.dll");
  Add("res/new/extra.txt");
  RunWithTheServerDown();
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  EXPECT_TRUE(Logged("[WARN] Restored from .old: zavexphone.exe")) << Log();
  EXPECT_TRUE(Logged("[WARN] Removed res/new/extra.txt, which the interrupted update added")) << Log();
  EXPECT_TRUE(Logged("[WARN] The interrupted update was undone (files put back from .old: 1, "
                     "files it added removed: 1)")) << Log();
  ExpectSecondRunCompletesTheUpdate();
}

TEST_F(CutPlacingTest, EveryFilePlacedEndsAsTheReleaseThatTheRecordNames) {
  WriteJournalOfTheUpdate();
  Swap("zavexphone.exe");
  Swap("lib/core.dll");
  Add("res/new/extra.txt");
  RunWithTheServerDown();
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));

  // Cut after the record was saved: the new release stays, its leftovers go.
  WriteJournalOfTheUpdate();
  Swap("zavexphone.exe");
  Swap("lib/core.dll");
  Add("res/new/extra.txt");
  ASSERT_TRUE(DeleteFileW(At("retired.dat").c_str()));
  ASSERT_TRUE(WriteTextFile(folder + L"\\manifest.json", newer.RecordText()));
  RunWithTheServerDown();
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
}

TEST_F(CutPlacingTest, AJournalNamingAPathOutsideTheFolderIsRemovedUnread) {
  const std::wstring victim = temp / L"victim.dll";
  ASSERT_TRUE(WriteTextFile(victim + L".old", "outside"));
  WriteJournal({{"../victim.dll", Sha256Hex("outside"), Sha256Hex("x")}});
  Swap("lib/core.dll");
  RunWithTheServerDown();
  EXPECT_FALSE(FileExists(victim));
  EXPECT_EQ(ReadTextFile(victim + L".old"), "outside");
  // Still undone by the hashes.
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  EXPECT_TRUE(Logged("[WARN] Removed a malformed placing journal without acting on it")) << Log();
}

TEST_F(CutPlacingTest, AJournalThatAnotherRunHoldsIsLeftAlone) {
  WriteJournalOfTheUpdate();
  Swap("zavexphone.exe");
  {
    UniqueFile held(CreateFileW(JournalPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    RunWithTheServerDown();
  }
  EXPECT_EQ(ReadTextFile(At("zavexphone.exe")), newer.files[0].content);
  EXPECT_TRUE(Logged("[WARN] Another run is placing files in this folder: left alone")) << Log();
}

TEST_F(CutPlacingTest, AKillDuringThePlacingIsUndoneByTheNextRun) {
  // Test builds pause before each swap when asked to.
  PausePlacingForTests(4000);
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  const ULONGLONG deadline = GetTickCount64() + 60000;
  while (!FileExists(At("zavexphone.exe.old")) && GetTickCount64() < deadline) Sleep(10);
  updater.Kill();
  PausePlacingForTests(0);
  ASSERT_TRUE(updater.Wait(10000).has_value());
  ASSERT_TRUE(FileExists(JournalPath()));
  ASSERT_TRUE(FileExists(At("lib/core.dll.tmp")));
  EXPECT_EQ(ReadTextFile(At("zavexphone.exe")), newer.files[0].content);

  RunWithTheServerDown();
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  ExpectSecondRunCompletesTheUpdate();
}

TEST_F(UpdateFaultTest, ServerGoingAwayDuringTheUpdate) {
  server->SetRoute("/lib/core.dll", SlowRoute(newer.files[1].content));
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  ASSERT_TRUE(WaitForRequest("/lib/core.dll", 30000));
  server.reset();
  EXPECT_EQ(updater.Wait(60000).value_or(99), 1u);
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  ExpectSecondRunCompletesTheUpdate();
}

TEST_F(UpdateFaultTest, KilledWhilePlacingFilesIsCompletedByTheNextRun) {
  for (int i = 0; i < 100; ++i) {
    const std::string path = "parts/part" + std::to_string(i) + ".bin";
    installed.files.push_back({path, "old part " + std::to_string(i)});
    newer.files.push_back({path, GeneratedBytes(i * 997, 2048)});
  }
  const std::string newRecord = newer.RecordText();
  // The first file to place is moved aside first.
  const std::wstring firstPlaced = folder + L"\\zavexphone.exe.old";
  std::mt19937 random(20240501);
  std::uniform_int_distribution<DWORD> killDelayMs(0, 400);
  for (int round = 0; round < 5; ++round) {
    const DWORD delay = killDelayMs(random);
    SCOPED_TRACE(testing::Message() << "killed " << delay << " ms into the placing");
    Reinstall();
    RestartServer();
    PublishRelease(*server, newer);
    ChildProcess updater;
    ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (!FileExists(firstPlaced) && updater.running() && GetTickCount64() < deadline) Sleep(1);
    Sleep(delay);
    updater.Kill();
    if (Record() != newRecord) {
      ExpectSecondRunCompletesTheUpdate();
      continue;
    }
    // Killed after the record: only the ".old" files of that run are left.
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 2u);
    std::vector<std::wstring> extras = Extras();
    for (const std::wstring& old : FilesEndingIn(L".old")) extras.push_back(old);
    EXPECT_TRUE(HoldsExactly(folder, newer, extras));
  }
}

TEST_F(UpdateFaultTest, LargeSilentUpdateOnLoopback) {
  constexpr int kFiles = 100;
  constexpr size_t kFileBytes = 512 * 1024;
  installed.files = NumberedFiles(kFiles, 16, 1);
  newer.files = NumberedFiles(kFiles, kFileBytes, 0);
  Reinstall();
  PublishRelease(*server, newer);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater(L"--silent", 300000).exitCode, 0u);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  std::cout << "Silent update of " << kFiles << " files, about " << kFiles * kFileBytes
            << " bytes: " << elapsed.count() << " ms\n";
  RecordProperty("silent_update_ms", static_cast<int>(elapsed.count()));
}

// A required file in the middle fails at once while the others arrive
// slowly and one has fallen silent: the run ends within a second of the
// failure, the silent transfer cut rather than left to its 30 s stall limit,
// no file starts after it, nothing is placed, and its text is the run's error.
TEST_F(UpdateFaultTest, RequiredFileThatFailsAmongManyStopsTheOthers) {
  UseManyFiles();
  ServeSlowly(1000, 20);
  server->SetRoute("/data/100.bin", 404, "Not Found");
  HttpRoute silent = SlowAnswer(newer.files[1].content, 1000, 20);
  silent.stallAfterBytes = 1000;
  server->SetRoute("/data/1.bin", silent);
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  ASSERT_TRUE(WaitForRequest("/data/100.bin", 30000));
  const ULONGLONG failedAt = GetTickCount64();
  EXPECT_EQ(updater.Wait(20000), std::optional<DWORD>(1));
  const ULONGLONG endedAt = GetTickCount64();
  EXPECT_LE(endedAt - failedAt, 1000u);
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  EXPECT_NE(log.find("[ERROR] Update failed: Falha ao baixar: data/100.bin\r"), std::string::npos);
  EXPECT_NE(log.find("[ERROR] Download failed for: data/1.bin (cancelled)\r"), std::string::npos);
  EXPECT_EQ(RequestsUnder(*server, "/data/1.bin"), 1u);
  EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
  // The files before it, and at most the others that were running with it.
  EXPECT_GE(FileRequests(), 101u);
  EXPECT_LE(FileRequests(), 101u + 2 * (kMaxParallelTransfers - 1));
}

TEST_F(UpdateFaultTest, OptionalFileThatFailsAmongManyIsSkipped) {
  UseManyFiles();
  newer.files[50].required = false;
  PublishRelease(*server, newer);
  ServeSlowly(1000, 5);
  server->SetRoute("/data/50.bin", 404, "Not Found");
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  // It keeps its installed version and entry; every other file is the new one.
  Release expected = newer;
  expected.files[50] = installed.files[50];
  EXPECT_TRUE(HoldsExactly(folder, expected, Extras()));
  EXPECT_EQ(FileRequests(), static_cast<size_t>(kManyFiles));
}

// The messages of the log's lines, without their time and level.
std::vector<std::string> LogMessages(const std::string& log) {
  std::vector<std::string> messages;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find("\r\n", start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    const size_t level = line.find("] [");
    const size_t text = level == std::string::npos ? level : line.find("] ", level + 3);
    if (text != std::string::npos) messages.push_back(line.substr(text + 2));
    start = end + 2;
  }
  return messages;
}

// Each file's lines in a run: the path of every "Downloading: " line in the
// log's order, each followed by the whole account of that file's download.
::testing::AssertionResult FilesLoggedWhole(const std::vector<std::string>& messages,
                                            std::vector<std::string>& paths) {
  for (size_t i = 0; i < messages.size(); ++i) {
    if (messages[i].rfind("Downloading: ", 0) != 0) continue;
    const std::string path = messages[i].substr(13);
    const std::string expected[] = {"  URL: ", "  Temp path: ", "  Final path: ",
                                    "Download complete, size: ", "Calculating hash for: " + path,
                                    "  Expected hash: ", "  Actual hash:   ", "  Hash match: YES"};
    for (size_t line = 0; line < std::size(expected); ++line) {
      const size_t at = i + 1 + line;
      if (at >= messages.size() || messages[at].rfind(expected[line], 0) != 0 ||
          (line < 3 && messages[at].find(path) == std::string::npos)) {
        return ::testing::AssertionFailure()
               << "the lines of " << path << " are broken at: "
               << (at < messages.size() ? messages[at] : "the end of the log");
      }
    }
    paths.push_back(path);
    i += std::size(expected);
  }
  return ::testing::AssertionSuccess();
}

// One file arrives slowly while the others go past it; the log holds each
// file's lines together, in the order they finished.
TEST_F(UpdateFaultTest, SlowFileFinishesLastAndEachFilesLinesStayTogether) {
  UseManyFiles();
  server->SetRoute("/data/3.bin", SlowAnswer(newer.files[3].content, 500, 800));
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));

  std::vector<std::string> paths;
  ASSERT_TRUE(FilesLoggedWhole(LogMessages(ReadTextFile(folder + L"\\zavex_updater.log")), paths));
  ASSERT_EQ(paths.size(), static_cast<size_t>(kManyFiles));
  EXPECT_EQ(paths.back(), "data/3.bin");
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(std::adjacent_find(paths.begin(), paths.end()), paths.end());
}

}  // namespace
}  // namespace zavex::test
