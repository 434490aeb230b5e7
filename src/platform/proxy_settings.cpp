#include "platform/proxy_settings.h"

#include <windows.h>
#include <winhttp.h>

#include <cwctype>
#include <string>

#include "platform/unique_handle.h"

namespace zavex {
namespace {

// The time a script may take to be found and fetched.
constexpr int kScriptTimeoutMs = 15000;

std::wstring TextOf(const UniqueGlobalText& text) { return text ? text.get() : L""; }

// A named proxy from an answer of WinHTTP; direct for any other kind.
ProxyChoice ChoiceOf(const WINHTTP_PROXY_INFO& info) {
  const UniqueGlobalText proxy(info.lpszProxy);
  const UniqueGlobalText bypass(info.lpszProxyBypass);
  if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return ProxyChoice();
  return ProxyChoice{TextOf(proxy), TextOf(bypass), ""};
}

// False when no script could be found, fetched or run.
bool FromScript(const std::wstring& url, const wchar_t* scriptUrl, const wchar_t* userAgent,
                ProxyChoice& choice) {
  UniqueInternet resolver(WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!resolver || !WinHttpSetTimeouts(resolver.get(), kScriptTimeoutMs, kScriptTimeoutMs,
                                       kScriptTimeoutMs, kScriptTimeoutMs)) {
    return false;
  }
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (scriptUrl) {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  options.fAutoLogonIfChallenged = FALSE;
  WINHTTP_PROXY_INFO info = {};
  if (WinHttpGetProxyForUrl(resolver.get(), url.c_str(), &options, &info)) {
    choice = ChoiceOf(info);
    return true;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_WINHTTP_LOGIN_FAILURE) {
    choice.notice = "The proxy script asked for credentials, which are never sent: it counts as none";
  } else if (!scriptUrl) {
    choice.notice = "Auto-detection (WPAD) found no proxy script (WinHTTP error " + std::to_string(code) + ")";
  }
  return false;
}

// The url's host name; empty when it cannot be read.
std::wstring HostOf(const std::wstring& url) {
  wchar_t host[256] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  return WinHttpCrackUrl(url.c_str(), 0, 0, &parts) ? host : L"";
}

// True when an entry of the list (separated by ';', ',' or blanks) names the
// url's host; "<local>" names every host without a dot.
bool IsBypassed(const std::wstring& url, const std::wstring& list) {
  const std::wstring host = HostOf(url);
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find_first_of(L"; ,\t", start);
    if (end == std::wstring::npos) end = list.size();
    const std::wstring entry = list.substr(start, end - start);
    const bool local = entry == L"<local>" && host.find(L'.') == std::wstring::npos;
    if (!entry.empty() && (local || MatchesPattern(host.c_str(), entry.c_str()))) return true;
    start = end + 1;
  }
  return false;
}

ProxyChoice FromMachineSetting() {
  WINHTTP_PROXY_INFO info = {};
  if (!WinHttpGetDefaultProxyConfiguration(&info)) return ProxyChoice();
  return ChoiceOf(info);
}

}  // namespace

bool MatchesPattern(const wchar_t* host, const wchar_t* pattern) {
  // After the last '*' met, a mismatch lets that '*' take one more character
  // and tries the rest of the pattern again from there; earlier stars never
  // need another try, since the last one can take whatever they would have.
  const wchar_t* starPattern = nullptr;
  const wchar_t* starHost = nullptr;
  while (*host) {
    if (*pattern == L'*') {
      starPattern = ++pattern;
      starHost = host;
    } else if (*pattern && towlower(*host) == towlower(*pattern)) {
      ++host;
      ++pattern;
    } else if (starPattern) {
      pattern = starPattern;
      host = ++starHost;
    } else {
      return false;
    }
  }
  while (*pattern == L'*') ++pattern;
  return *pattern == L'\0';
}

ProxyChoice ProxyForUrl(const std::wstring& url, const wchar_t* userAgent) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return FromMachineSetting();
  const UniqueGlobalText scriptUrl(config.lpszAutoConfigUrl);
  const UniqueGlobalText proxy(config.lpszProxy);
  const UniqueGlobalText bypass(config.lpszProxyBypass);
  ProxyChoice choice;
  if ((config.fAutoDetect || scriptUrl) && FromScript(url, scriptUrl.get(), userAgent, choice)) {
    return choice;
  }
  if (proxy && !(bypass && IsBypassed(url, bypass.get()))) {
    choice.proxy = TextOf(proxy);
    choice.bypass = TextOf(bypass);
    return choice;
  }
  if (proxy || config.fAutoDetect || scriptUrl) return choice;
  return FromMachineSetting();
}

}  // namespace zavex
