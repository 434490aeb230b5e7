#include "platform/proxy_settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/http_client.h"
#include "support/http_server.h"
#include "support/test_files.h"

namespace zavex {
namespace {

using test::HttpServer;

constexpr wchar_t kConnectionsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kSettingsValue[] = L"DefaultConnectionSettings";
constexpr DWORD kProxyFlag = 2;
constexpr DWORD kScriptFlag = 4;

void AppendNumber(std::vector<BYTE>& bytes, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<BYTE>(value >> shift));
}

void AppendText(std::vector<BYTE>& bytes, const std::string& text) {
  AppendNumber(bytes, static_cast<DWORD>(text.size()));
  bytes.insert(bytes.end(), text.begin(), text.end());
}

// The value as Windows writes it: version, change counter, flags, then the
// proxy, the bypass list and the script address, then 32 zero bytes.
std::vector<BYTE> ConnectionSettings(DWORD flags, const std::string& proxy,
                                     const std::string& bypass, const std::string& script) {
  static DWORD counter = 1;
  std::vector<BYTE> bytes;
  AppendNumber(bytes, 0x46);
  AppendNumber(bytes, ++counter);
  AppendNumber(bytes, flags | 1);
  AppendText(bytes, proxy);
  AppendText(bytes, bypass);
  AppendText(bytes, script);
  bytes.resize(bytes.size() + 32, 0);
  return bytes;
}

// The current user's Internet settings, set by a test and put back after it.
class ProxySettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(origin.listening());
    ASSERT_TRUE(proxy.listening());
    saved = ReadSettings();
    for (HttpServer* server : {&origin, &proxy}) server->SetRoute("/file.bin", 200, "content");
    proxy.SetRoute("/missing.bin", 404, "no");
  }

  void TearDown() override {
    if (saved) {
      WriteSettings(*saved);
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnectionsKey, kSettingsValue);
    }
  }

  static std::optional<std::vector<BYTE>> ReadSettings() {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kConnectionsKey, kSettingsValue, RRF_RT_REG_BINARY,
                     nullptr, nullptr, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::vector<BYTE> bytes(size);
    RegGetValueW(HKEY_CURRENT_USER, kConnectionsKey, kSettingsValue, RRF_RT_REG_BINARY, nullptr,
                 bytes.data(), &size);
    return bytes;
  }

  static bool WriteSettings(const std::vector<BYTE>& bytes) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, kConnectionsKey, kSettingsValue, REG_BINARY,
                           bytes.data(), static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
  }

  std::string ProxyAddress() const { return "127.0.0.1:" + std::to_string(proxy.port()); }

  static size_t FileRequests(const HttpServer& server) {
    size_t count = 0;
    for (const test::ReceivedRequest& request : server.Requests()) {
      count += request.target.find("/file.bin") != std::string::npos;
    }
    return count;
  }

  HttpServer origin;
  HttpServer proxy;
  std::optional<std::vector<BYTE>> saved;
};

TEST_F(ProxySettingsTest, RequestsGoWhereTheUsersSettingsSay) {
  const std::string pac = "function FindProxyForURL(url, host) { return \"PROXY " +
                          ProxyAddress() + "\"; }";
  origin.SetRoute("/proxy.pac", 200, pac);
  const std::string script = "http://127.0.0.1:" + std::to_string(origin.port()) + "/proxy.pac";
  const std::string missingScript = "http://127.0.0.1:" + std::to_string(origin.port()) + "/none.pac";
  const struct {
    const char* name;
    std::vector<BYTE> settings;
    bool throughProxy;
  } cases[] = {
      {"fixed proxy", ConnectionSettings(kProxyFlag, ProxyAddress(), "", ""), true},
      {"fixed proxy, bypassed", ConnectionSettings(kProxyFlag, ProxyAddress(), "127.0.0.1", ""),
       false},
      {"fixed proxy, bypassed by pattern",
       ConnectionSettings(kProxyFlag, ProxyAddress(), "example.com; 127.0.*", ""), false},
      {"fixed proxy, other hosts bypassed",
       ConnectionSettings(kProxyFlag, ProxyAddress(), "<local>;*.example.com", ""), true},
      {"script", ConnectionSettings(kScriptFlag, "", "", script), true},
      {"script not to be had", ConnectionSettings(kScriptFlag, "", "", missingScript), false},
      {"none", ConnectionSettings(0, "", "", ""), false},
  };
  for (const auto& setting : cases) {
    SCOPED_TRACE(setting.name);
    ASSERT_TRUE(WriteSettings(setting.settings));
    const size_t viaProxyBefore = FileRequests(proxy);
    const size_t directBefore = FileRequests(origin);
    HttpClient client;
    test::TempDir temp;
    const HttpResponse response = client.Get(origin.Url("/file.bin"));
    EXPECT_EQ(response.error, L"");
    EXPECT_TRUE(response.success);
    EXPECT_EQ(response.body, "content");
    EXPECT_TRUE(client.DownloadFile(origin.Url("/file.bin"), temp / L"file.bin", nullptr));
    EXPECT_EQ(FileRequests(proxy) - viaProxyBefore, setting.throughProxy ? 2u : 0u);
    EXPECT_EQ(FileRequests(origin) - directBefore, setting.throughProxy ? 0u : 2u);
    const DownloadResult missing =
        client.DownloadFile(origin.Url("/missing.bin"), temp / L"missing.bin", nullptr);
    EXPECT_EQ(missing.failure.reason,
              "HTTP 404 via " + (setting.throughProxy ? ProxyAddress() : std::string("direct")));
  }
}

}  // namespace
}  // namespace zavex
