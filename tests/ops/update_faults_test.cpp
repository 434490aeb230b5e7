#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <iostream>
#include <random>

#include "formats/manifest.h"
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
      for (const ReceivedRequest& request : server->Requests()) {
        if (request.target.rfind(path, 0) == 0) return true;
      }
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
  const std::string newRecord = SerializeManifest(ParseManifest(newer.ManifestJson()));
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
  installed.files.clear();
  newer.files.clear();
  constexpr int kFiles = 100;
  constexpr size_t kFileBytes = 512 * 1024;
  for (int i = 0; i < kFiles; ++i) {
    const std::string path = "data/file" + std::to_string(i) + ".bin";
    installed.files.push_back({path, "old " + std::to_string(i)});
    newer.files.push_back({path, GeneratedBytes(static_cast<uint64_t>(i) * kFileBytes, kFileBytes)});
  }
  Reinstall();
  PublishRelease(*server, newer);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdater(L"--silent", 300000).exitCode, 0u);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  std::cout << "Silent update of " << kFiles << " files, " << kFiles * kFileBytes
            << " bytes: " << elapsed.count() << " ms\n";
  RecordProperty("silent_update_ms", static_cast<int>(elapsed.count()));
}

}  // namespace
}  // namespace zavex::test
