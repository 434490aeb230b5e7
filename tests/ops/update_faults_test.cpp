#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>

#include "formats/manifest.h"
#include "ops/download_phase.h"
#include "ops/updater_run_fixture.h"

namespace zavex::test {
namespace {

class UpdateFaultTest : public UpdaterRunTest {
 protected:
  static HttpRoute SlowRoute(const std::string& body) { return SlowAnswer(body, 4096, 20); }

  // Publishes newer properly and expects the next run to install it whole.
  void ExpectSecondRunCompletesTheUpdate() {
    RestartServer();
    PublishRelease(*server, newer);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  }

  // Waits until the server has received a request for path.
  bool WaitForRequest(const std::string& path, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
      if (RequestsUnder(*server, path) > 0) return true;
      Sleep(20);
    }
    return false;
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
    return HoldsExactly(folder, installed, extras);
  }
};

TEST_F(UpdateFaultTest, FailureOnTheLastFileLeavesTheOldReleaseAndTheNextRunSucceeds) {
  newer.files[3].content = GeneratedBytes(9, 60000);
  HttpRoute cut;
  cut.body = newer.files[3].content;
  cut.cutAfterBytes = 20000;
  const struct {
    const char* name;
    HttpRoute route;
  } faults[] = {
      {"required file missing", Answer(404, "Not Found")},
      {"hash mismatch", Answer(200, GeneratedBytes(4, 60000))},
      {"body cut off", cut},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    Reinstall();
    RestartServer();
    PublishRelease(*server, newer);
    server->SetRoute("/res/new/extra.txt", fault.route);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 1u);
    EXPECT_TRUE(HoldsExactly(folder, installed, Extras()));
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

TEST_F(UpdateFaultTest, MissingFileIsRestoredFromOld) {
  const std::wstring strings = folder + L"\\res\\strings.txt";
  ASSERT_TRUE(MoveFileW(strings.c_str(), (strings + L".old").c_str()));
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log")
                .find("[WARN] Restored from .old: res/strings.txt"),
            std::string::npos);
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
// slowly: no file starts after it, nothing is placed, and its text is the
// run's error.
TEST_F(UpdateFaultTest, RequiredFileThatFailsAmongManyStopsTheOthers) {
  UseManyFiles();
  ServeSlowly(1000, 20);
  server->SetRoute("/data/100.bin", 404, "Not Found");
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 1u);
  EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log")
                .find("[ERROR] Update failed: Falha ao baixar: data/100.bin\r"),
            std::string::npos);
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
