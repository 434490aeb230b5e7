#include "platform/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <vector>

namespace zavex {
namespace {

constexpr wchar_t kUserAgent[] = L"Zavex Phone Updater/1.0";
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 2048;
constexpr DWORD kTransferChunkBytes = 8192;

// The connection is declared first so that the request is closed before it.
struct OpenedRequest {
  UniqueInternet connection;
  UniqueInternet request;
  DWORD statusCode = 0;
  DWORD contentLength = 0;  // 0 when the server announced none
};

enum class BodyEnd { kComplete, kStopped, kBroken };

bool IsSuccessStatus(DWORD status) { return status - 200u <= 99u; }

// 0 when the header is missing or not a number.
DWORD QueryNumberHeader(HINTERNET request, DWORD infoLevel) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  WinHttpQueryHeaders(request, infoLevel | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &value, &size, WINHTTP_NO_HEADER_INDEX);
  return value;
}

// Sends a GET for url and waits for the response head. Empty text on
// success, otherwise the failing step.
std::wstring OpenRequest(HINTERNET session, const std::wstring& url, OpenedRequest& opened) {
  if (!session) return L"Failed to initialize WinHTTP";

  wchar_t host[kHostNameChars] = {};
  wchar_t path[kUrlPathChars] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostNameChars;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kUrlPathChars;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return L"Failed to parse URL";

  opened.connection.reset(WinHttpConnect(session, host, parts.nPort, 0));
  if (!opened.connection) return L"Failed to connect to server";

  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  opened.request.reset(WinHttpOpenRequest(opened.connection.get(), L"GET", path, nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          flags));
  if (!opened.request) return L"Failed to create request";

  if (!WinHttpSendRequest(opened.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                          WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    return L"Failed to send request";
  }
  if (!WinHttpReceiveResponse(opened.request.get(), nullptr)) return L"Failed to receive response";

  opened.statusCode = QueryNumberHeader(opened.request.get(), WINHTTP_QUERY_STATUS_CODE);
  opened.contentLength = QueryNumberHeader(opened.request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
  return L"";
}

// Passes the body chunk by chunk to sink(data, size) until it ends, the
// transfer fails, or sink returns false. A body shorter than the announced
// length was cut off, even when the transport reports a clean end.
template <typename Sink>
BodyEnd ReadBody(const OpenedRequest& opened, Sink&& sink) {
  std::vector<char> buffer(kTransferChunkBytes);
  uint64_t received = 0;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(opened.request.get(), &available)) return BodyEnd::kBroken;
    if (available == 0) break;
    DWORD read = 0;
    if (!WinHttpReadData(opened.request.get(), buffer.data(),
                         std::min(available, kTransferChunkBytes), &read)) {
      return BodyEnd::kBroken;
    }
    if (read == 0) break;
    received += read;
    if (!sink(buffer.data(), read)) return BodyEnd::kStopped;
  }
  return received < opened.contentLength ? BodyEnd::kBroken : BodyEnd::kComplete;
}

bool WriteChunk(HANDLE file, const char* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

}  // namespace

HttpClient::HttpClient()
    : session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0)) {}

HttpResponse HttpClient::Get(const std::wstring& url) {
  HttpResponse response;
  OpenedRequest opened;
  response.error = OpenRequest(session.get(), url, opened);
  if (!response.error.empty()) return response;
  response.statusCode = static_cast<int32_t>(opened.statusCode);

  std::string body;
  const BodyEnd end = ReadBody(opened, [&body](const char* data, DWORD size) {
    if (body.size() + size > kMaxResponseBodyBytes) return false;
    body.append(data, size);
    return true;
  });
  if (end == BodyEnd::kStopped) {
    response.error = L"Response too large";
  } else if (end == BodyEnd::kBroken) {
    response.error = L"Failed to read response";
  } else {
    response.body = std::move(body);
    response.success = IsSuccessStatus(opened.statusCode);
  }
  return response;
}

bool HttpClient::DownloadFile(const std::wstring& url, const std::wstring& path,
                              DownloadProgressCallback progress) {
  OpenedRequest opened;
  if (!OpenRequest(session.get(), url, opened).empty()) return false;
  if (!IsSuccessStatus(opened.statusCode)) return false;
  const uint32_t announced = opened.contentLength;

  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;

  uint32_t written = 0;
  bool writeFailed = false;
  const BodyEnd end = ReadBody(opened, [&](const char* data, DWORD size) {
    if (!WriteChunk(file.get(), data, size)) {
      writeFailed = true;
      return false;
    }
    written += size;
    return !progress || progress(written, announced);
  });
  file.reset();

  const bool cancelled = end == BodyEnd::kStopped && !writeFailed;
  if (cancelled) DeleteFileW(path.c_str());
  return end == BodyEnd::kComplete;
}

}  // namespace zavex
