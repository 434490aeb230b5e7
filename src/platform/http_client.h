#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/proxy_settings.h"
#include "platform/transfer_cancel.h"
#include "platform/unique_handle.h"

namespace zavex {

// Largest body that Get keeps in memory.
inline constexpr size_t kMaxResponseBodyBytes = 64u * 1024 * 1024;

// When a request that makes no progress fails: after silenceMs without a
// byte, or when less than windowBytes arrived in windowMs.
struct StallLimits {
  uint32_t silenceMs = 30000;
  uint32_t windowMs = 60000;
  uint64_t windowBytes = 1024;
};

// Why a request ended, for the log and the decision to try again.
struct RequestFailure {
  uint32_t statusCode = 0;      // the HTTP status, 0 when none arrived
  uint32_t systemError = 0;     // the WinHTTP error code, 0 when none
  uint32_t retryAfterSeconds = 0;
  bool transient = false;       // another attempt may succeed
  std::string reason;           // empty on success
};

struct HttpResponse {
  int32_t statusCode = 0;
  std::string body;
  // On failure, the reason the window shows: empty for an answer outside
  // 2xx, otherwise failure.reason.
  std::wstring error;
  // On failure, the reason the log gives: the HTTP status or WinHTTP error
  // code, and the proxy (" via " and it, or "direct"); a cancel names no
  // proxy.
  RequestFailure failure;
  bool success = false;
};

// (the bytes just written, bytes in the file so far, size announced by the
// server or 0, both clamped to 32 bits); false cancels.
using DownloadProgressCallback = std::function<bool(std::string_view, uint32_t, uint32_t)>;

// What a download may receive and where it continues.
struct DownloadLimits {
  // The file's exact size: a longer body, or another announced length,
  // fails the download. Without it any length is taken.
  std::optional<uint64_t> size;
  // Bytes already in the file: asks for the rest with a Range request. An
  // answer with the whole body starts the file again.
  uint64_t resumeFrom = 0;
  // Called once the body starts, with its offset in the file (0 or
  // resumeFrom), before the first chunk.
  std::function<void(uint64_t)> onBodyStart;
};

struct DownloadResult {
  bool success = false;
  // The server would not continue at resumeFrom: the next attempt starts at 0.
  bool restartWhole = false;
  RequestFailure failure;

  explicit operator bool() const { return success; }
};

// "2 s", or "1.5 s" when there are tenths.
std::string SecondsText(uint32_t ms);

// HTTP GET through the proxy that the user's settings give for each server
// (see ProxyForUrl), over one WinHTTP session per proxy: Wine uses a proxy
// only for a session opened with it. Safe to use from several threads; each
// call returns when its request has ended, stalled (see StallLimits) or been
// cancelled. Failures name the proxy: " via " and the proxy, or "direct".
class HttpClient {
 public:
  // cancel, when given, also ends the requests of Get.
  explicit HttpClient(const TransferCancel* cancel = nullptr, const StallLimits& limits = {});
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The whole body in memory, at most maxBytes ("Response too large"); a
  // status other than 2xx is a failure.
  HttpResponse Get(const std::wstring& url, size_t maxBytes = kMaxResponseBodyBytes);
  // Streams the body into path; true when it arrived whole, within limits,
  // and was not cancelled, by progress or by cancel, which ends it also
  // while it waits on the network. A cancelled download deletes the file; a
  // failed one keeps what was written, for a later attempt to continue.
  DownloadResult DownloadFile(const std::wstring& url, const std::wstring& path,
                              DownloadProgressCallback progress,
                              const TransferCancel* cancel = nullptr,
                              const DownloadLimits& limits = {});
  // The cancel that ends the requests of Get; null when none.
  const TransferCancel* GetCancel() const { return getCancel; }

  // Receives each line for the log once: a proxy's 407 answered with the
  // logged-on user's credentials, a proxy script that asked for them. Set
  // before the first request.
  std::function<void(const std::string&)> onNotice;

 private:
  // The session for url's server; null when it cannot be opened. via names
  // its proxy, or "direct"; throughProxy tells which. The proxy of a server not seen before is looked
  // up outside the lock: a script may take long, and requests to known
  // servers go on meanwhile.
  HINTERNET SessionFor(const std::wstring& url, std::string& via, bool& throughProxy);
  // Passes line to onNotice unless it went there before.
  void Notify(const std::string& line);

  std::mutex mutex;  // guards what follows
  std::map<std::wstring, ProxyChoice> proxyOfServer;  // by scheme, host and port
  std::map<std::wstring, UniqueInternet> sessions;    // by proxy and bypass list
  std::set<std::string> noticed;
  const TransferCancel* getCancel;
  StallLimits stallLimits;
};

}  // namespace zavex
