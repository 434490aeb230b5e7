#include <gtest/gtest.h>

#include "app/server_config.h"
#include "platform/http_client.h"
#include "support/http_server.h"

namespace zavex {
namespace {

TEST(ServerPortTest, ServerOnTheConfiguredPortAnswersTheManifestUrl) {
  const int port = test::ServerPortFromBaseUrl();
  ASSERT_GT(port, 0);
  test::HttpServer server(port);
  ASSERT_TRUE(server.listening());
  EXPECT_EQ(server.port(), port);
  server.SetRoute("/manifest.json", 200, "{\"versionCode\": 7}");
  server.SetRoute("/files/zavexphone.exe", 200, "MZ");

  HttpClient client;
  const HttpResponse manifest = client.Get(ManifestUrl);
  EXPECT_TRUE(manifest.success);
  EXPECT_EQ(manifest.body, "{\"versionCode\": 7}");
  const HttpResponse file = client.Get(std::wstring(ServerBaseUrl) + L"files/zavexphone.exe");
  EXPECT_EQ(file.body, "MZ");
}

}  // namespace
}  // namespace zavex
