#pragma once

#include <string>

namespace zavex {

// The proxy for one address: empty for a direct connection, otherwise a list
// as WinHTTP takes it ("host:port", or "http=host:port;https=host:port"),
// with the names it bypasses.
struct ProxyChoice {
  std::wstring proxy;
  std::wstring bypass;
  // For the log, when the choice was not the plain one.
  std::string notice;
};

// The current user's Internet settings decide: the automatic configuration
// script, or auto-detection (WPAD), then the fixed proxy unless its bypass
// list names the url's host; when a script is configured but cannot be had,
// the fixed proxy or a direct connection. Without user settings, the machine's WinHTTP setting.
// userAgent is sent when the script is fetched, never credentials: a script
// that asks for them counts as none, and notice says so; notice also tells
// when auto-detection found no script.
ProxyChoice ProxyForUrl(const std::wstring& url, const wchar_t* userAgent);

// True when host matches a bypass entry with '*' wildcards (any run of
// characters), without regard to letter case. Without recursion: at most
// host's length times the pattern's steps.
bool MatchesPattern(const wchar_t* host, const wchar_t* pattern);

}  // namespace zavex
