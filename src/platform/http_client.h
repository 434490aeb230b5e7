#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/transfer_cancel.h"
#include "platform/unique_handle.h"

namespace zavex {

// Largest body that Get keeps in memory.
inline constexpr size_t kMaxResponseBodyBytes = 64u * 1024 * 1024;

struct HttpResponse {
  int32_t statusCode = 0;
  std::string body;
  std::wstring error;
  bool success = false;
};

// (the bytes just written, bytes written so far, size announced by the server
// or 0); false cancels.
using DownloadProgressCallback = std::function<bool(std::string_view, uint32_t, uint32_t)>;

// HTTP GET over one WinHTTP session; each call returns when its request has
// ended.
class HttpClient {
 public:
  HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The whole body in memory, at most kMaxResponseBodyBytes.
  HttpResponse Get(const std::wstring& url);
  // Streams the body into path; true when it arrived whole and was not
  // cancelled, by progress or by cancel, which ends it also while it waits
  // on the network. A cancelled download deletes the file.
  bool DownloadFile(const std::wstring& url, const std::wstring& path,
                    DownloadProgressCallback progress, const TransferCancel* cancel = nullptr);

 private:
  UniqueInternet session;
};

}  // namespace zavex
