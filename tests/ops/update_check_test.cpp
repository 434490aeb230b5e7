#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>
#include <regex>
#include <thread>

#include "app/invocation.h"
#include "app/server_config.h"
#include "base/text_conversion.h"
#include "ops/manifest_signature.h"
#include "ops/release_fixture.h"
#include "ops/updater.h"
#include "support/test_files.h"

namespace zavex::test {
namespace {

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installed.files = {{"zavexphone.exe", "app v1"}, {"lib/a.dll", "a v1"}};
    InstallReleaseLocally(temp.path(), installed);
  }

  UpdateInfo Check(std::wstring& error) {
    Updater updater(temp.path(), CompiledReleaseServer());
    return updater.CheckForUpdates(error);
  }

  TempDir temp;
  Release installed;
};

TEST_F(UpdateCheckTest, MissingRecordFailsWithoutAnyRequest) {
  HttpServer server(ServerPortFromBaseUrl());
  ASSERT_TRUE(server.listening());
  DeleteFileW((temp.path() + L"\\manifest.json").c_str());
  std::wstring error;
  const UpdateInfo info = Check(error);
  EXPECT_FALSE(info.updateAvailable);
  EXPECT_EQ(info.currentVersion, "");
  EXPECT_EQ(error, L"Manifest local não encontrado ou inválido");
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UpdateCheckTest, ServerAnswersDecideTheResult) {
  HttpServer server(ServerPortFromBaseUrl());
  ASSERT_TRUE(server.listening());
  std::wstring error;
  UpdateInfo info = Check(error);
  EXPECT_EQ(error, L"Falha ao verificar atualização: ");
  EXPECT_EQ(info.currentVersion, "1.0.0");

  error.clear();
  ServeManifest(server, "{\"version\": \"2.0\", \"versionCode\": 0, \"files\": []}");
  info = Check(error);
  EXPECT_EQ(error, L"Manifest inválido");
  EXPECT_EQ(info.currentVersion, "1.0.0");
  EXPECT_EQ(info.newVersion, "");

  // Same code, every hash different: no update.
  Release same{"1.0.1", 1, {{"zavexphone.exe", "other"}, {"lib/a.dll", "other"}}};
  PublishRelease(server, same);
  error.clear();
  info = Check(error);
  EXPECT_EQ(error, L"");
  EXPECT_FALSE(info.updateAvailable);
  EXPECT_EQ(info.newVersion, "1.0.1");

  // Higher code, no file changed.
  Release unchanged = installed;
  unchanged.version = "1.1.0";
  unchanged.versionCode = 2;
  PublishRelease(server, unchanged);
  info = Check(error);
  EXPECT_TRUE(info.updateAvailable);
  EXPECT_EQ(info.fileCount, 0);
  EXPECT_EQ(info.downloadSize, 0u);

  // Higher code: a changed file, and a renamed-case path, which names the
  // same unchanged file on Windows.
  Release newer{"2.0.0", 3, {{"zavexphone.exe", "app v2 longer"}, {"Lib/a.dll", "a v1"}}};
  PublishRelease(server, newer);
  info = Check(error);
  EXPECT_EQ(error, L"");
  EXPECT_TRUE(info.updateAvailable);
  EXPECT_EQ(info.currentVersion, "1.0.0");
  EXPECT_EQ(info.newVersion, "2.0.0");
  EXPECT_EQ(info.releaseNotes, "Notas\nnovas");
  EXPECT_EQ(info.releaseDate, "2024-05-01");
  EXPECT_EQ(info.fileCount, 1);
  EXPECT_EQ(info.downloadSize, 13u);
}

TEST_F(UpdateCheckTest, UnreachableServerGivesTheReason) {
  std::wstring error;
  const UpdateInfo info = Check(error);
  EXPECT_FALSE(info.updateAvailable);
  const std::wstring prefix = L"Falha ao verificar atualização: ";
  EXPECT_EQ(error.substr(0, prefix.size()), prefix);
  EXPECT_GT(error.size(), prefix.size());
}

TEST_F(UpdateCheckTest, WithoutReleaseKeysNoSignatureIsAskedFor) {
  HttpServer server(ServerPortFromBaseUrl());
  ASSERT_TRUE(server.listening());
  HttpClient http;
  const ReleaseServer compiled = CompiledReleaseServer();
  const std::wstring url = ManifestUrl + std::wstring(L"?nocache=17");
  EXPECT_EQ(SignatureUrlFor(compiled, url),
            ServerBaseUrl + std::wstring(L"manifest.json.sig?nocache=17"));
  EXPECT_EQ(SignatureUrlFor(compiled, ManifestUrl),
            ServerBaseUrl + std::wstring(L"manifest.json.sig"));
  EXPECT_TRUE(CheckManifestSignature(http, ReleaseServer{ServerBaseUrl, {}}, url, "{}"));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_FALSE(CheckManifestSignature(http, compiled, url, "{}"));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].target, "/manifest.json.sig?nocache=17");
}

TEST_F(UpdateCheckTest, AnExpiryCountsOnlyWithReleaseKeysAndEndsOnItsSecond) {
  Manifest manifest;
  EXPECT_TRUE(CheckManifestExpiry(manifest, 0, {}));
  EXPECT_FALSE(CheckManifestExpiry(manifest, 0, CompiledReleaseServer().keys));
  manifest.expires = "2030-01-01";
  EXPECT_FALSE(CheckManifestExpiry(manifest, 0, CompiledReleaseServer().keys));
  manifest.expires = "2030-01-01T00:00:00Z";
  UtcSeconds expires = 0;
  ASSERT_TRUE(ParseUtcTimestamp(manifest.expires, expires));
  EXPECT_TRUE(CheckManifestExpiry(manifest, expires - 1, CompiledReleaseServer().keys));
  EXPECT_FALSE(CheckManifestExpiry(manifest, expires, CompiledReleaseServer().keys));
  EXPECT_TRUE(CheckManifestExpiry(manifest, expires, {}));
  const UtcSeconds before = static_cast<UtcSeconds>(std::time(nullptr));
  EXPECT_GE(UtcNow(), before);
  EXPECT_LE(UtcNow(), before + 5);
}

TEST_F(UpdateCheckTest, RequestCarriesTheNoCacheQuery) {
  HttpServer server(ServerPortFromBaseUrl());
  ASSERT_TRUE(server.listening());
  PublishRelease(server, installed);
  std::wstring error;
  Check(error);
  const std::vector<ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(std::regex_match(requests[0].target, std::regex("/manifest\\.json\\?nocache=[1-9][0-9]{9,}")))
      << requests[0].target;
  const std::string query = requests[0].target.substr(requests[0].target.find('?'));
  EXPECT_EQ(requests[1].target, "/manifest.json.sig" + query);
}

// The wait before a retry ends on the operation's cancel, also a long
// Retry-After.
TEST_F(UpdateCheckTest, CancelEndsTheWaitBeforeAnotherAttempt) {
  HttpServer server(ServerPortFromBaseUrl());
  ASSERT_TRUE(server.listening());
  HttpRoute busy = Answer(503, "busy");
  busy.headers = "Retry-After: 60\r\n";
  server.SetRoute("/manifest.json", busy);
  Updater updater(temp.path(), CompiledReleaseServer());
  std::promise<std::wstring> checked;
  updater.onCheckComplete = [&checked](const UpdateInfo&, const std::wstring& error) {
    checked.set_value(error);
  };
  updater.StartCheck();
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (server.Requests().empty() && GetTickCount64() < deadline) Sleep(20);
  ASSERT_EQ(server.Requests().size(), 1u);
  Sleep(300);  // the answer has arrived: the check waits for its next attempt
  updater.Cancel();
  auto future = checked.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(kCancelWaitSeconds)), std::future_status::ready);
  EXPECT_EQ(future.get(), L"Falha ao verificar atualização: ");
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(UpdateCheckTest, StartCheckReportsOnAWorkerAndKeepsAPositiveResult) {
  HttpServer server(ServerPortFromBaseUrl());
  ASSERT_TRUE(server.listening());
  Release newer{"2.0.0", 2, {{"zavexphone.exe", "app v2"}, {"lib/a.dll", "a v1"}}};
  PublishRelease(server, newer);

  Updater updater(temp.path(), CompiledReleaseServer());
  std::promise<std::pair<UpdateInfo, std::thread::id>> checked;
  updater.onCheckComplete = [&checked](const UpdateInfo& info, const std::wstring&) {
    checked.set_value({info, std::this_thread::get_id()});
  };
  updater.StartCheck();
  auto future = checked.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const auto [info, thread] = future.get();
  EXPECT_TRUE(info.updateAvailable);
  EXPECT_NE(thread, std::this_thread::get_id());

  // A later check that finds nothing keeps what the positive one stored.
  PublishRelease(server, installed);
  std::wstring error;
  EXPECT_FALSE(updater.CheckForUpdates(error).updateAvailable);
  PublishRelease(server, newer);
  server.SetRoute("/manifest.json", 404, "gone");
  const OperationResult result = RunToCompletion(updater, &Updater::StartUpdate);
  EXPECT_TRUE(result.success) << WideToUtf8(result.error);
  EXPECT_TRUE(HoldsExactly(temp.path(), newer));
}

}  // namespace
}  // namespace zavex::test
