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

using test::HttpRoute;
using test::HttpServer;

constexpr wchar_t kConnectionsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kSettingsValue[] = L"DefaultConnectionSettings";
constexpr DWORD kProxyFlag = 2;
constexpr DWORD kScriptFlag = 4;
constexpr DWORD kAutoDetectFlag = 8;

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
  HttpRoute challenge;
  challenge.status = 401;
  challenge.body = pac;
  challenge.headers = "WWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM\r\n";
  origin.SetRoute("/logon.pac", challenge);
  const std::string script = "http://127.0.0.1:" + std::to_string(origin.port()) + "/proxy.pac";
  const std::string missingScript = "http://127.0.0.1:" + std::to_string(origin.port()) + "/none.pac";
  const std::string logonScript = "http://127.0.0.1:" + std::to_string(origin.port()) + "/logon.pac";
  // No WPAD server answers here: the log line tells that detection was tried.
  const char* detectionNotice = "Auto-detection (WPAD) found no proxy script (WinHTTP error ";
  const struct {
    const char* name;
    std::vector<BYTE> settings;
    bool throughProxy;
    // The start of the one notice, "" for none; null where Wine differs (it
    // reports a script's 401 as a failed download, not as a logon).
    const char* notice;
  } cases[] = {
      {"fixed proxy", ConnectionSettings(kProxyFlag, ProxyAddress(), "", ""), true, ""},
      {"fixed proxy, bypassed", ConnectionSettings(kProxyFlag, ProxyAddress(), "127.0.0.1", ""),
       false, ""},
      {"fixed proxy, bypassed by pattern",
       ConnectionSettings(kProxyFlag, ProxyAddress(), "example.com; 127.0.*", ""), false, ""},
      {"fixed proxy, other hosts bypassed",
       ConnectionSettings(kProxyFlag, ProxyAddress(), "<local>;*.example.com", ""), true, ""},
      {"script", ConnectionSettings(kScriptFlag, "", "", script), true, ""},
      {"script not to be had", ConnectionSettings(kScriptFlag, "", "", missingScript), false, ""},
      {"script asking for credentials", ConnectionSettings(kScriptFlag, "", "", logonScript), false,
       nullptr},
      {"auto-detection only", ConnectionSettings(kAutoDetectFlag, "", "", ""), false, detectionNotice},
      {"none", ConnectionSettings(0, "", "", ""), false, ""},
  };
  for (const auto& setting : cases) {
    SCOPED_TRACE(setting.name);
    ASSERT_TRUE(WriteSettings(setting.settings));
    const size_t viaProxyBefore = FileRequests(proxy);
    const size_t directBefore = FileRequests(origin);
    HttpClient client;
    std::vector<std::string> notices;
    client.onNotice = [&notices](const std::string& line) { notices.push_back(line); };
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
    if (!setting.notice) continue;
    ASSERT_EQ(notices.size(), *setting.notice ? 1u : 0u);
    if (!notices.empty()) EXPECT_EQ(notices[0].rfind(setting.notice, 0), 0u) << notices[0];
  }
  for (const test::ReceivedRequest& request : origin.Requests()) {
    EXPECT_EQ(request.head.find("Authorization:"), std::string::npos) << request.head;
  }
}

// A 407 is answered with the logged-on user's Windows logon, for the proxy
// alone, and the request sent again; the log hears of it once.
TEST_F(ProxySettingsTest, AProxysChallengeIsAnsweredWithTheLoggedOnUser) {
  ASSERT_TRUE(WriteSettings(ConnectionSettings(kProxyFlag, ProxyAddress(), "", "")));
  HttpRoute challenge;
  challenge.status = 407;
  challenge.body = "who";
  challenge.headers = "Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n";
  HttpRoute content;
  content.body = "content";
  proxy.SetRoutes("/file.bin", {challenge, content, challenge, content});
  HttpClient client;
  std::vector<std::string> notices;
  client.onNotice = [&notices](const std::string& line) { notices.push_back(line); };
  for (int request = 0; request < 2; ++request) {
    const HttpResponse response = client.Get(origin.Url("/file.bin"));
    EXPECT_TRUE(response.success) << response.failure.reason;
    EXPECT_EQ(response.body, "content");
  }
  EXPECT_EQ(FileRequests(proxy), 4u);
  EXPECT_EQ(FileRequests(origin), 0u);
  EXPECT_EQ(notices, std::vector<std::string>{"HTTP 407 from the proxy: answered with the "
                                              "logged-on user's credentials via " + ProxyAddress()});
}

TEST(BypassPatternTest, WildcardsMatchAnyRunInAnyLetterCase) {
  std::wstring stars;
  for (int i = 0; i < 30; ++i) stars += L"*a";
  const std::wstring longName(20000, L'a');
  const struct {
    const char* name;
    std::wstring host;
    std::wstring pattern;
    bool matches;
  } cases[] = {
      {"exact", L"example.com", L"example.com", true},
      {"letter case", L"Example.COM", L"eXample.com", true},
      {"prefix only", L"example.com", L"example", false},
      {"longer pattern", L"example", L"example.com", false},
      {"leading star", L"www.example.com", L"*.example.com", true},
      {"star takes nothing", L".example.com", L"*.example.com", true},
      {"star needs the dot", L"example.com", L"*.example.com", false},
      {"trailing star", L"127.0.0.1", L"127.0.*", true},
      {"inner star", L"intranet.corp.local", L"intra*.local", true},
      {"star then mismatch", L"ab.cd", L"a*x", false},
      {"retry after a partial match", L"aaab", L"*aab", true},
      {"stars only", L"anything", L"***", true},
      {"empty host", L"", L"*", true},
      {"empty host, letters", L"", L"a*", false},
      {"empty pattern", L"a", L"", false},
      {"many stars, long name, no match", longName, stars + L"b", false},
      {"many stars, long name, match", longName, stars, true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(MatchesPattern(test.host.c_str(), test.pattern.c_str()), test.matches);
  }
}

}  // namespace
}  // namespace zavex
