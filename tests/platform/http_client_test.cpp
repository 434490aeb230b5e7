#include "platform/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text_conversion.h"
#include "support/http_server.h"
#include "support/test_files.h"

namespace zavex {
namespace {

using test::GeneratedBytes;
using test::HttpRoute;
using test::HttpServer;

struct ProgressCall {
  uint32_t written;
  uint32_t announced;
};

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.listening()); }

  // Downloads path from the server into target, recording every callback.
  DownloadResult Download(const std::string& path, const std::wstring& target, bool goOn = true,
                          const DownloadLimits& limits = {}) {
    calls.clear();
    chunks.clear();
    return client.DownloadFile(
        server.Url(path), target,
        [this, goOn](std::string_view chunk, uint32_t written, uint32_t announced) {
          calls.push_back({written, announced});
          chunks.append(chunk);
          return goOn;
        },
        nullptr, limits);
  }

  HttpRoute Generated(uint64_t size) {
    HttpRoute route;
    route.generatedSize = size;
    return route;
  }

  HttpServer server;
  HttpClient client;
  test::TempDir temp;
  std::vector<ProgressCall> calls;
  std::string chunks;  // every chunk passed to the callback, in order
};

HttpRoute Answer503() {
  HttpRoute busy;
  busy.status = 503;
  busy.body = "busy";
  busy.headers = "Retry-After: 2\r\n";
  return busy;
}

// A port on which nothing listens: the one a server had before it ended.
int ClosedPort() {
  HttpServer probe;
  return probe.port();
}

TEST_F(HttpClientTest, GetReturnsTheBodyOfASuccessAndTheStatusOfAFailure) {
  server.SetRoute("/ok", 200, "hello");
  server.SetRoute("/missing", 404, "<h1>no such page</h1>");
  server.SetRoute("/empty", 200, "");
  server.SetRoute("/broken", 500, "oops");

  const HttpResponse ok = client.Get(server.Url("/ok"));
  EXPECT_TRUE(ok.success);
  EXPECT_EQ(ok.statusCode, 200);
  EXPECT_EQ(ok.body, "hello");
  EXPECT_EQ(ok.error, L"");

  // An error status is a failure that names it for the log and not for the
  // window; its page is not kept.
  const HttpResponse missing = client.Get(server.Url("/missing"));
  EXPECT_FALSE(missing.success);
  EXPECT_EQ(missing.statusCode, 404);
  EXPECT_EQ(missing.body, "");
  EXPECT_EQ(missing.failure.reason, "HTTP 404 via direct");
  EXPECT_EQ(missing.error, L"");

  const HttpResponse empty = client.Get(server.Url("/empty"));
  EXPECT_TRUE(empty.success);
  EXPECT_EQ(empty.statusCode, 200);
  EXPECT_EQ(empty.body, "");

  const HttpResponse broken = client.Get(server.Url("/broken"));
  EXPECT_FALSE(broken.success);
  EXPECT_EQ(broken.statusCode, 500);
  EXPECT_EQ(broken.failure.reason, "HTTP 500 via direct");
  EXPECT_EQ(broken.error, L"");
}

TEST_F(HttpClientTest, RequestCarriesQueryAndUserAgentToTheUrlPort) {
  server.SetRoute("/manifest.json", 200, "{}");
  const HttpResponse response = client.Get(server.Url("/manifest.json?nocache=1700000000"));
  EXPECT_TRUE(response.success);

  const std::vector<test::ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/manifest.json?nocache=1700000000");
  EXPECT_NE(requests[0].head.find("User-Agent: Zavex Phone Updater/1.0\r\n"), std::string::npos);
}

// http to http only: the test server speaks no TLS, so the https cases (followed
// to https, never to http, which is WinHTTP's default policy) are not run here.
TEST_F(HttpClientTest, RedirectsFromHttpToHttpAreFollowed) {
  server.SetRoute("/release/app.dll", 200, "moved body");
  for (int status : {301, 302}) {
    SCOPED_TRACE(status);
    HttpRoute moved;
    moved.status = status;
    moved.body = "see elsewhere";
    moved.location = WideToUtf8(server.Url("/release/app.dll"));
    server.SetRoute("/app.dll", moved);
    HttpRoute relative = moved;
    relative.location = "/release/app.dll";
    server.SetRoute("/relative.dll", relative);

    for (const char* path : {"/app.dll", "/relative.dll"}) {
      const HttpResponse response = client.Get(server.Url(path));
      EXPECT_TRUE(response.success) << path;
      EXPECT_EQ(response.statusCode, 200);
      EXPECT_EQ(response.body, "moved body");
      const std::wstring target = temp / L"app.dll";
      EXPECT_TRUE(Download(path, target)) << path;
      EXPECT_EQ(test::ReadTextFile(target), "moved body");
    }
  }
  size_t followed = 0;
  for (const test::ReceivedRequest& request : server.Requests()) {
    followed += request.target == "/release/app.dll";
  }
  EXPECT_EQ(followed, 8u);
}

TEST_F(HttpClientTest, GetReadsChunkedAndSlowBodiesWhole) {
  HttpRoute chunked = Generated(100000);
  chunked.chunked = true;
  chunked.pieceBytes = 1000;
  server.SetRoute("/chunked", chunked);
  HttpRoute slow;
  slow.body = "first-second-third";
  slow.pieceBytes = 6;
  slow.pieceDelayMs = 150;
  server.SetRoute("/slow", slow);

  const HttpResponse chunkedResponse = client.Get(server.Url("/chunked"));
  EXPECT_TRUE(chunkedResponse.success);
  EXPECT_EQ(chunkedResponse.body, GeneratedBytes(0, 100000));

  const HttpResponse slowResponse = client.Get(server.Url("/slow"));
  EXPECT_TRUE(slowResponse.success);
  EXPECT_EQ(slowResponse.body, "first-second-third");
}

TEST_F(HttpClientTest, GetNamesTheStepThatFailed) {
  const std::wstring longHost = L"http://" + std::wstring(256, L'h') + L"/file";
  const std::wstring longPath = server.Url("/") + std::wstring(2048, L'p');
  const std::wstring refused = L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/x";
  server.SetRoute("/x", 200, "body");

  const std::pair<std::wstring, const wchar_t*> unparsed[] = {
      {L"not a url", L"Failed to parse URL (WinHTTP error 12006) via direct"},
      {longHost, L"Failed to parse URL (WinHTTP error 122) via direct"},
      {longPath, L"Failed to parse URL (WinHTTP error 122) via direct"}};
  for (const auto& [url, error] : unparsed) {
    const HttpResponse response = client.Get(url);
    EXPECT_EQ(response.error, error);
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_FALSE(response.success);
  }

  const HttpResponse refusedResponse = client.Get(refused);
  EXPECT_EQ(refusedResponse.error, L"Failed to send request (WinHTTP error 12029) via direct");
  EXPECT_EQ(refusedResponse.statusCode, 0);
  EXPECT_EQ(refusedResponse.body, "");
  EXPECT_FALSE(refusedResponse.success);

  // https asks for TLS, which a plain server cannot answer.
  std::wstring secure = server.Url("/x");
  secure.replace(0, 4, L"https");
  const HttpResponse secureResponse = client.Get(secure);
  EXPECT_FALSE(secureResponse.error.empty());
  EXPECT_EQ(secureResponse.statusCode, 0);
  EXPECT_TRUE(server.Requests().empty());
}

// A server asking for Windows logon gets none: the 401 fails the request.
TEST_F(HttpClientTest, A401IsNeverAnsweredWithCredentials) {
  HttpRoute challenge;
  challenge.status = 401;
  challenge.body = "who";
  challenge.headers = "WWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM\r\n";
  server.SetRoute("/private", challenge);
  const HttpResponse response = client.Get(server.Url("/private"));
  EXPECT_FALSE(response.success);
  EXPECT_EQ(response.failure.reason, "HTTP 401 (credentials are never sent to a server) via direct");
  const DownloadResult download = Download("/private", temp / L"private");
  EXPECT_FALSE(download.success);
  EXPECT_EQ(download.failure.reason, response.failure.reason);
  // Nor a 407 from a server reached directly.
  challenge.status = 407;
  challenge.headers = "Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n";
  server.SetRoute("/private", challenge);
  EXPECT_EQ(client.Get(server.Url("/private")).failure.reason, "HTTP 407 via direct");
  const std::vector<test::ReceivedRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const test::ReceivedRequest& request : requests) {
    EXPECT_EQ(request.head.find("Authorization:"), std::string::npos) << request.head;
  }
}

TEST_F(HttpClientTest, PathJustBelowTheLimitReachesTheServer) {
  // "/" + 2046 characters: 2047 with nothing left over for a terminator.
  const std::string path = "/" + std::string(2046, 'p');
  const HttpResponse response = client.Get(server.Url(path));
  EXPECT_EQ(response.statusCode, 404);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].target, path);
}

TEST_F(HttpClientTest, GetRefusesBodiesLargerThanTheCap) {
  server.SetRoute("/at-cap", Generated(kMaxResponseBodyBytes));
  server.SetRoute("/over-cap", Generated(kMaxResponseBodyBytes + 1));
  HttpRoute chunkedOver = Generated(kMaxResponseBodyBytes + 8192);
  chunkedOver.chunked = true;
  server.SetRoute("/chunked-over-cap", chunkedOver);

  const HttpResponse atCap = client.Get(server.Url("/at-cap"));
  EXPECT_TRUE(atCap.success);
  EXPECT_EQ(atCap.body.size(), kMaxResponseBodyBytes);
  EXPECT_EQ(atCap.body.substr(atCap.body.size() - 100),
            GeneratedBytes(kMaxResponseBodyBytes - 100, 100));

  for (const char* path : {"/over-cap", "/chunked-over-cap"}) {
    const HttpResponse over = client.Get(server.Url(path));
    EXPECT_FALSE(over.success) << path;
    EXPECT_EQ(over.statusCode, 200) << path;
    EXPECT_EQ(over.body, "") << path;
    EXPECT_EQ(over.error, L"Response too large via direct") << path;
  }
}

TEST_F(HttpClientTest, BodyCutOffBeforeItsAnnouncedLengthIsAFailure) {
  HttpRoute cut = Generated(200000);
  cut.cutAfterBytes = 50000;
  server.SetRoute("/cut", cut);
  HttpRoute slowCut = cut;
  slowCut.pieceBytes = 20000;
  slowCut.pieceDelayMs = 50;
  server.SetRoute("/slow-cut", slowCut);

  for (const char* path : {"/cut", "/slow-cut"}) {
    const HttpResponse response = client.Get(server.Url(path));
    EXPECT_FALSE(response.success) << path;
    EXPECT_EQ(response.statusCode, 200) << path;
    EXPECT_TRUE(response.body.empty()) << path << " kept " << response.body.size();
    EXPECT_EQ(response.error.rfind(L"body cut short after ", 0), 0u) << path;
    EXPECT_TRUE(response.failure.transient) << path;
    EXPECT_FALSE(Download(path, temp / L"cut.bin")) << path;
    EXPECT_FALSE(calls.empty()) << path;
  }
}

// A body is never written past the size it must have, whatever the server
// announces or sends; an announced length other than that size fails before
// anything is written.
TEST_F(HttpClientTest, DownloadIsBoundedByTheExpectedSize) {
  constexpr uint64_t kSize = 60000;
  HttpRoute longer = Generated(kSize + 50000);
  server.SetRoute("/longer", longer);
  HttpRoute longerChunked = longer;
  longerChunked.chunked = true;
  server.SetRoute("/longer-chunked", longerChunked);
  HttpRoute huge = Generated(kSize);
  huge.announcedSize = 100000000000ull;
  server.SetRoute("/announced-huge", huge);
  HttpRoute shorter = Generated(kSize - 1);
  shorter.chunked = true;
  server.SetRoute("/shorter-chunked", shorter);
  server.SetRoute("/exact", Generated(kSize));
  DownloadLimits limits;
  limits.size = kSize;

  const struct {
    const char* path;
    const char* reason;
    bool transient;
    bool fileWritten;
  } cases[] = {
      {"/longer", "Content-Length 110000 for 60000 bytes via direct", false, false},
      {"/announced-huge", "Content-Length 100000000000 for 60000 bytes via direct", false,
       false},
      {"/longer-chunked", "more than 60000 bytes received via direct", false, true},
      {"/shorter-chunked", "body cut short after 59999 bytes via direct", true, true},
  };
  for (const auto& bounded : cases) {
    SCOPED_TRACE(bounded.path);
    const std::wstring target = temp / L"bounded.bin";
    DeleteFileW(target.c_str());
    const DownloadResult result = Download(bounded.path, target, true, limits);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.failure.reason, bounded.reason);
    EXPECT_EQ(result.failure.transient, bounded.transient);
    EXPECT_EQ(test::FileExists(target), bounded.fileWritten);
    EXPECT_LE(test::ReadTextFile(target).size(), kSize);
  }
  EXPECT_TRUE(Download("/exact", temp / L"exact.bin", true, limits));
  EXPECT_EQ(test::ReadTextFile(temp / L"exact.bin"), GeneratedBytes(0, kSize));
}

// The failures worth another attempt, with what the log needs to say why.
TEST_F(HttpClientTest, FailuresTellWhetherAnotherAttemptMaySucceed) {
  HttpRoute busy = Answer503();
  server.SetRoute("/busy", busy);
  server.SetRoute("/missing", 404, "no");
  server.SetRoute("/forbidden", 403, "no");
  server.SetRoute("/gateway", 504, "later");
  HttpRoute cut = Generated(200000);
  cut.cutAfterBytes = 50000;
  server.SetRoute("/cut", cut);
  const std::string refused = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x";

  const struct {
    std::wstring url;
    const char* reasonStart;
    bool transient;
    uint32_t status;
    uint32_t retryAfter;
  } cases[] = {
      {server.Url("/busy"), "HTTP 503", true, 503, 2},
      {server.Url("/gateway"), "HTTP 504", true, 504, 0},
      {server.Url("/missing"), "HTTP 404", false, 404, 0},
      {server.Url("/forbidden"), "HTTP 403", false, 403, 0},
      {server.Url("/cut"), "body cut short after ", true, 200, 0},
      {Utf8ToWide(refused), "Failed to send request (WinHTTP error 12029)", true, 0, 0},
  };
  for (const auto& failing : cases) {
    SCOPED_TRACE(WideToUtf8(failing.url));
    const DownloadResult result = client.DownloadFile(failing.url, temp / L"f.bin", nullptr);
    const HttpResponse response = client.Get(failing.url);
    EXPECT_FALSE(result);
    EXPECT_FALSE(response.success);
    for (const RequestFailure& failure : {result.failure, response.failure}) {
      EXPECT_EQ(failure.reason.rfind(failing.reasonStart, 0), 0u) << failure.reason;
      EXPECT_EQ(failure.reason.substr(failure.reason.size() - 11), " via direct");
      EXPECT_EQ(failure.transient, failing.transient);
      EXPECT_EQ(failure.statusCode, failing.status);
      EXPECT_EQ(failure.retryAfterSeconds, failing.retryAfter);
    }
    const bool answeredOutside2xx = failing.status != 0 && failing.status != 200;
    EXPECT_EQ(WideToUtf8(response.error), answeredOutside2xx ? "" : response.failure.reason);
  }
}

// A download that starts at byte 70000 of the file: continued with the rest
// when the server answers 206 with the matching range, started again when it
// answers 200, refused with a range that does not fit.
TEST_F(HttpClientTest, DownloadContinuesWithARangeOrStartsAgain) {
  constexpr uint64_t kSize = 200000;
  constexpr uint64_t kHave = 70000;
  HttpRoute ranged = Generated(kSize);
  ranged.servesRanges = true;
  server.SetRoute("/ranged", ranged);
  server.SetRoute("/whole", Generated(kSize));
  HttpRoute wrongRange = Generated(kSize - 5);
  wrongRange.status = 206;
  wrongRange.headers = "Content-Range: bytes 5-199999/200000\r\n";
  server.SetRoute("/wrong-range", wrongRange);

  const struct {
    const char* path;
    bool success;
    uint64_t bodyStart;
    const char* sentFrom;  // the Range header that reached the server
  } cases[] = {
      {"/ranged", true, kHave, "Range: bytes=70000-"},
      {"/whole", true, 0, "Range: bytes=70000-"},
      {"/wrong-range", false, UINT64_MAX, "Range: bytes=70000-"},
  };
  for (const auto& resumed : cases) {
    SCOPED_TRACE(resumed.path);
    const std::wstring target = temp / L"resumed.bin";
    ASSERT_TRUE(test::WriteTextFile(target, GeneratedBytes(0, kHave)));
    uint64_t bodyStart = UINT64_MAX;
    DownloadLimits limits;
    limits.size = kSize;
    limits.resumeFrom = kHave;
    limits.onBodyStart = [&bodyStart](uint64_t offset) { bodyStart = offset; };
    const DownloadResult result = Download(resumed.path, target, true, limits);
    EXPECT_EQ(static_cast<bool>(result), resumed.success) << result.failure.reason;
    EXPECT_EQ(result.restartWhole, !resumed.success);
    EXPECT_EQ(bodyStart, resumed.bodyStart);
    EXPECT_NE(server.Requests().back().head.find(resumed.sentFrom), std::string::npos);
    if (!resumed.success) continue;
    EXPECT_EQ(test::ReadTextFile(target), GeneratedBytes(0, kSize));
    EXPECT_EQ(chunks, GeneratedBytes(resumed.bodyStart, kSize - resumed.bodyStart));
    EXPECT_EQ(calls.back().written, kSize);
    EXPECT_EQ(calls.back().announced, kSize);
  }
}

// Short limits stand in for the 30 s of silence and 1 KiB in 60 s.
TEST_F(HttpClientTest, StalledRequestsFailAndCountAsTransient) {
  StallLimits limits;
  limits.silenceMs = 1000;
  limits.windowMs = 1500;
  limits.windowBytes = 1024;
  HttpClient watched(nullptr, limits);
  HttpRoute silent = Generated(200000);
  silent.stallAfterBytes = 100000;
  server.SetRoute("/silent", silent);
  HttpRoute drip = Generated(100);
  drip.pieceBytes = 1;
  drip.pieceDelayMs = 100;
  server.SetRoute("/drip", drip);

  const struct {
    const char* path;
    const char* reasonPart;
  } cases[] = {
      {"/silent", "stalled: nothing received for 1 s"},
      {"/drip", " bytes received in 1.5 s"},
  };
  for (const auto& stalled : cases) {
    SCOPED_TRACE(stalled.path);
    const DownloadResult result =
        watched.DownloadFile(server.Url(stalled.path), temp / L"s.bin", nullptr);
    EXPECT_FALSE(result);
    EXPECT_TRUE(result.failure.transient);
    EXPECT_NE(result.failure.reason.find(stalled.reasonPart), std::string::npos)
        << result.failure.reason;
    const HttpResponse response = watched.Get(server.Url(stalled.path));
    EXPECT_FALSE(response.success);
    EXPECT_NE(WideToUtf8(response.error).find(stalled.reasonPart), std::string::npos);
  }
}

// The manifest and its signature come through Get: a cancel ends it also
// while it waits on a silent server.
TEST_F(HttpClientTest, CancelEndsAGetThatWaitsOnASilentServer) {
  HttpRoute silent = Generated(200000);
  silent.stallAfterBytes = 1000;
  server.SetRoute("/manifest.json", silent);
  TransferCancel cancel;
  HttpClient cancellable(&cancel);
  auto get = std::async(std::launch::async,
                        [&] { return cancellable.Get(server.Url("/manifest.json")); });
  while (server.Requests().empty()) Sleep(10);
  cancel.Cancel();
  ASSERT_EQ(get.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const HttpResponse response = get.get();
  EXPECT_FALSE(response.success);
  EXPECT_EQ(response.error, L"cancelled");
}

TEST_F(HttpClientTest, DownloadWritesTheBodyAndReportsEveryChunk) {
  server.SetRoute("/file.bin", Generated(300000));
  ASSERT_TRUE(Download("/file.bin", temp / L"file.bin"));
  EXPECT_EQ(test::ReadTextFile(temp / L"file.bin"), GeneratedBytes(0, 300000));
  EXPECT_EQ(chunks, GeneratedBytes(0, 300000));

  ASSERT_FALSE(calls.empty());
  uint32_t previous = 0;
  for (const ProgressCall& call : calls) {
    EXPECT_GT(call.written, previous);
    EXPECT_LE(call.written - previous, 8192u);
    EXPECT_EQ(call.announced, 300000u);
    previous = call.written;
  }
  EXPECT_EQ(calls.back().written, 300000u);
}

TEST_F(HttpClientTest, DownloadOfChunkedBodyAnnouncesNoSize) {
  HttpRoute chunked = Generated(50000);
  chunked.chunked = true;
  chunked.pieceBytes = 7000;
  server.SetRoute("/chunked.bin", chunked);
  ASSERT_TRUE(Download("/chunked.bin", temp / L"chunked.bin"));
  EXPECT_EQ(test::ReadTextFile(temp / L"chunked.bin"), GeneratedBytes(0, 50000));
  EXPECT_EQ(chunks, GeneratedBytes(0, 50000));
  ASSERT_FALSE(calls.empty());
  for (const ProgressCall& call : calls) EXPECT_EQ(call.announced, 0u);
  EXPECT_EQ(calls.back().written, 50000u);
}

TEST_F(HttpClientTest, DownloadOfEmptyBodyCreatesAnEmptyFileWithoutCallbacks) {
  server.SetRoute("/empty.bin", 200, "");
  const std::wstring target = temp / L"empty.bin";
  ASSERT_TRUE(test::WriteTextFile(target, "previous content"));
  EXPECT_TRUE(Download("/empty.bin", target));
  EXPECT_TRUE(test::FileExists(target));
  EXPECT_EQ(test::ReadTextFile(target), "");
  EXPECT_TRUE(calls.empty());
}

TEST_F(HttpClientTest, DownloadWithErrorStatusLeavesTheTargetAlone) {
  server.SetRoute("/missing.bin", 404, "not here");
  server.SetRoute("/failing.bin", 500, "server trouble");
  const std::wstring target = temp / L"kept.bin";
  ASSERT_TRUE(test::WriteTextFile(target, "installed content"));

  EXPECT_FALSE(Download("/missing.bin", target));
  EXPECT_FALSE(Download("/failing.bin", target));
  EXPECT_FALSE(Download("/unknown.bin", target));
  EXPECT_EQ(test::ReadTextFile(target), "installed content");
  EXPECT_TRUE(calls.empty());

  EXPECT_FALSE(Download("/missing.bin", temp / L"absent.bin"));
  EXPECT_FALSE(test::FileExists(temp / L"absent.bin"));
}

TEST_F(HttpClientTest, CancelOnFirstChunkStopsAndDeletesTheFile) {
  server.SetRoute("/big.bin", Generated(1000000));
  const std::wstring target = temp / L"big.bin";
  EXPECT_FALSE(Download("/big.bin", target, false));
  EXPECT_EQ(calls.size(), 1u);
  EXPECT_FALSE(test::FileExists(target));
}

TEST_F(HttpClientTest, CancelEndsADownloadThatWaitsOnASilentServer) {
  HttpRoute stalled = Generated(200000);
  stalled.stallAfterBytes = 100000;
  server.SetRoute("/stalled.bin", stalled);
  const std::wstring target = temp / L"stalled.bin";
  TransferCancel cancel;
  std::promise<void> halfway;
  bool halfwaySignalled = false;
  auto download = std::async(std::launch::async, [&] {
    return client.DownloadFile(server.Url("/stalled.bin"), target, [&](std::string_view, uint32_t written, uint32_t) {
      if (written >= 100000 && !std::exchange(halfwaySignalled, true)) halfway.set_value();
      return true;
    }, &cancel);
  });
  ASSERT_EQ(halfway.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  cancel.Cancel();
  // WinHTTP itself would wait 30 s for more data.
  ASSERT_EQ(download.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(download.get());
  EXPECT_FALSE(test::FileExists(target));

  // Once cancelled, no request is sent until the cancel is reset.
  server.SetRoute("/file.bin", 200, "content");
  EXPECT_FALSE(client.DownloadFile(server.Url("/file.bin"), target, nullptr, &cancel));
  EXPECT_EQ(server.Requests().size(), 1u);
  cancel.Reset();
  EXPECT_TRUE(client.DownloadFile(server.Url("/file.bin"), target, nullptr, &cancel));
  EXPECT_EQ(test::ReadTextFile(target), "content");
}

TEST_F(HttpClientTest, DownloadFailsWithoutServerOrWritableTarget) {
  server.SetRoute("/file.bin", 200, "content");
  const std::wstring refused = L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/file.bin";
  EXPECT_FALSE(client.DownloadFile(refused, temp / L"a.bin", nullptr));
  EXPECT_FALSE(test::FileExists(temp / L"a.bin"));

  const std::wstring longHost = L"http://" + std::wstring(300, L'h') + L"/file.bin";
  EXPECT_FALSE(client.DownloadFile(longHost, temp / L"b.bin", nullptr));
  EXPECT_FALSE(test::FileExists(temp / L"b.bin"));

  EXPECT_FALSE(Download("/file.bin", temp / L"no such folder\\c.bin"));
  EXPECT_TRUE(calls.empty());

  // An empty callback is allowed.
  EXPECT_TRUE(client.DownloadFile(server.Url("/file.bin"), temp / L"d.bin", nullptr));
  EXPECT_EQ(test::ReadTextFile(temp / L"d.bin"), "content");
}

TEST(HttpServerTest, PortCanBeBoundAgainRightAfterUse) {
  int port = 0;
  {
    HttpServer first;
    ASSERT_TRUE(first.listening());
    port = first.port();
    first.SetRoute("/a", 200, "a");
    HttpRoute cut;
    cut.generatedSize = 100000;
    cut.cutAfterBytes = 10;
    first.SetRoute("/cut", cut);
    HttpClient client;
    EXPECT_TRUE(client.Get(first.Url("/a")).success);
    EXPECT_FALSE(client.Get(first.Url("/cut")).success);

    HttpServer rival(port);
    EXPECT_FALSE(rival.listening());
  }
  HttpServer again(port);
  EXPECT_TRUE(again.listening());
  EXPECT_EQ(again.port(), port);
}

}  // namespace
}  // namespace zavex
