#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <iostream>
#include <random>

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
};

TEST_F(UpdateFaultTest, ReportedFailureKeepsEveryFileAndTheNextRunSucceeds) {
  HttpRoute cut;
  cut.body = newer.files[1].content;
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
    const std::string before = Record();
    server->SetRoute("/lib/core.dll", fault.route);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 1u);
    EXPECT_TRUE(HoldsOldOrNewFiles(folder, installed, newer));
    EXPECT_EQ(ReadTextFile(folder + L"\\lib\\core.dll"), installed.files[1].content);
    EXPECT_EQ(Record(), before);
    ExpectSecondRunCompletesTheUpdate();
  }
}

TEST_F(UpdateFaultTest, ServerGoingAwayDuringTheUpdate) {
  server->SetRoute("/lib/core.dll", SlowRoute(newer.files[1].content));
  const std::string before = Record();
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  ASSERT_TRUE(WaitForRequest("/lib/core.dll", 30000));
  server.reset();
  EXPECT_EQ(updater.Wait(60000).value_or(99), 1u);
  EXPECT_TRUE(HoldsOldOrNewFiles(folder, installed, newer));
  EXPECT_EQ(Record(), before);
  ExpectSecondRunCompletesTheUpdate();
}

TEST_F(UpdateFaultTest, KilledUpdateIsCompletedByTheNextRun) {
  for (int i = 0; i < 20; ++i) {
    newer.files.push_back({"parts/part" + std::to_string(i) + ".bin", GeneratedBytes(i * 997, 16384)});
  }
  std::mt19937 random(20240501);
  std::uniform_int_distribution<DWORD> killDelayMs(100, 1500);
  for (int round = 0; round < 6; ++round) {
    const DWORD delay = killDelayMs(random);
    SCOPED_TRACE(testing::Message() << "killed after " << delay << " ms");
    Reinstall();
    RestartServer();
    PublishRelease(*server, newer);
    for (const ReleaseFile& file : newer.files) server->SetRoute("/" + file.path, SlowRoute(file.content));
    ChildProcess updater;
    ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
    Sleep(delay);
    updater.Kill();
    ExpectSecondRunCompletesTheUpdate();
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
