#include "platform/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>

namespace zavex {
namespace {

constexpr wchar_t kUserAgent[] = L"Zavex Phone Updater/1.0";
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 2048;
constexpr DWORD kTransferChunkBytes = 8192;
constexpr DWORD kNotices =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

// How often a wait for a network step looks at the transfer's cancel.
constexpr DWORD kCancelPollMs = 50;

// Where the status callback leaves the outcome of a request's pending step.
// It is the request's context value: WinHTTP frees it with the request's
// last notice, so a step that a cancel left pending may still complete into
// it, the read buffer included. The step's end is told through a condition
// variable, not an event: under Wine every event operation is a round trip
// to its single server process, once per chunk of every transfer.
struct RequestContext {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE stepEnded = CONDITION_VARIABLE_INIT;
  bool stepPending = false;  // guarded by lock
  bool failed = false;
  DWORD bytesAvailable = 0;
  DWORD bytesRead = 0;
  char buffer[kTransferChunkBytes] = {};
};

void CALLBACK OnRequestNotice(HINTERNET, DWORD_PTR contextValue, DWORD notice, void* information,
                              DWORD length) {
  auto* context = reinterpret_cast<RequestContext*>(contextValue);
  if (!context) return;  // the connection's notices
  switch (notice) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      delete context;
      return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      context->failed = true;
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
      context->bytesAvailable = *static_cast<const DWORD*>(information);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      context->bytesRead = length;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    default:
      return;
  }
  AcquireSRWLockExclusive(&context->lock);
  context->stepPending = false;
  ReleaseSRWLockExclusive(&context->lock);
  WakeConditionVariable(&context->stepEnded);
}

// The connection is declared first so that the request is closed before it.
struct OpenedRequest {
  UniqueInternet connection;
  UniqueInternet request;
  RequestContext* context = nullptr;  // WinHTTP's; valid while request is open
  const TransferCancel* cancel = nullptr;
  DWORD statusCode = 0;
  DWORD contentLength = 0;  // 0 when the server announced none
};

enum class BodyEnd { kComplete, kStopped, kBroken };
enum class StepEnd { kDone, kFailed, kCancelled };

bool IsSuccessStatus(DWORD status) { return status - 200u <= 99u; }

// 0 when the header is missing or not a number.
DWORD QueryNumberHeader(HINTERNET request, DWORD infoLevel) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  WinHttpQueryHeaders(request, infoLevel | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &value, &size, WINHTTP_NO_HEADER_INDEX);
  return value;
}

// Hands a fresh context to the request; false when it could not.
bool AttachContext(OpenedRequest& opened) {
  auto context = std::make_unique<RequestContext>();
  DWORD_PTR value = reinterpret_cast<DWORD_PTR>(context.get());
  if (!WinHttpSetOption(opened.request.get(), WINHTTP_OPTION_CONTEXT_VALUE, &value,
                        sizeof(value))) {
    return false;
  }
  opened.context = context.release();
  return true;
}

// Marks the request's next step as pending; call before starting it.
void BeginStep(const OpenedRequest& opened) {
  AcquireSRWLockExclusive(&opened.context->lock);
  opened.context->stepPending = true;
  ReleaseSRWLockExclusive(&opened.context->lock);
}

// Waits until the step that started is complete or the transfer is cancelled.
StepEnd WaitForStep(const OpenedRequest& opened, bool started) {
  if (!started) return StepEnd::kFailed;
  RequestContext& context = *opened.context;
  const DWORD pollMs = opened.cancel ? kCancelPollMs : INFINITE;
  AcquireSRWLockExclusive(&context.lock);
  while (context.stepPending && !(opened.cancel && opened.cancel->IsCancelled())) {
    SleepConditionVariableSRW(&context.stepEnded, &context.lock, pollMs, 0);
  }
  const bool ended = !context.stepPending;
  ReleaseSRWLockExclusive(&context.lock);
  if (!ended) return StepEnd::kCancelled;
  return context.failed ? StepEnd::kFailed : StepEnd::kDone;
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
  if (!opened.request || !AttachContext(opened)) return L"Failed to create request";

  BeginStep(opened);
  const bool sent = WinHttpSendRequest(opened.request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                       WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  if (WaitForStep(opened, sent) != StepEnd::kDone) return L"Failed to send request";
  BeginStep(opened);
  const bool receiving = WinHttpReceiveResponse(opened.request.get(), nullptr);
  if (WaitForStep(opened, receiving) != StepEnd::kDone) return L"Failed to receive response";

  opened.statusCode = QueryNumberHeader(opened.request.get(), WINHTTP_QUERY_STATUS_CODE);
  opened.contentLength = QueryNumberHeader(opened.request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
  return L"";
}

// Passes the body chunk by chunk to sink(data, size) until it ends, the
// transfer fails or is cancelled, or sink returns false. A body shorter than
// the announced length was cut off, even when the transport reports a clean end.
template <typename Sink>
BodyEnd ReadBody(const OpenedRequest& opened, Sink&& sink) {
  RequestContext& context = *opened.context;
  const auto ended = [](StepEnd step) {
    return step == StepEnd::kCancelled ? BodyEnd::kStopped : BodyEnd::kBroken;
  };
  uint64_t received = 0;
  for (;;) {
    // Only what has arrived, so that no read waits for a full buffer.
    BeginStep(opened);
    const bool querying = WinHttpQueryDataAvailable(opened.request.get(), nullptr);
    StepEnd step = WaitForStep(opened, querying);
    if (step != StepEnd::kDone) return ended(step);
    if (context.bytesAvailable == 0) break;
    BeginStep(opened);
    const bool reading = WinHttpReadData(opened.request.get(), context.buffer,
                                         std::min(context.bytesAvailable, kTransferChunkBytes),
                                         nullptr);
    step = WaitForStep(opened, reading);
    if (step != StepEnd::kDone) return ended(step);
    if (context.bytesRead == 0) break;
    received += context.bytesRead;
    if (!sink(context.buffer, context.bytesRead)) return BodyEnd::kStopped;
  }
  return received < opened.contentLength ? BodyEnd::kBroken : BodyEnd::kComplete;
}

bool SetSecureProtocols(HINTERNET session, DWORD protocols) {
  return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                          sizeof(protocols)) != FALSE;
}

// Asynchronous, so that a wait can end on a cancel. TLS 1.2, and 1.3 where
// Windows has it: the default of Windows 7 and 8.1 leaves 1.2 out, and a
// system without 1.3 refuses the pair.
UniqueInternet OpenSession() {
  UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                     WINHTTP_FLAG_ASYNC));
  if (!session ||
      WinHttpSetStatusCallback(session.get(), OnRequestNotice, kNotices, 0) ==
          WINHTTP_INVALID_STATUS_CALLBACK) {
    return UniqueInternet();
  }
  if (!SetSecureProtocols(session.get(), WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 |
                                             WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3)) {
    SetSecureProtocols(session.get(), WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2);
  }
  return session;
}

bool WriteChunk(HANDLE file, const char* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

}  // namespace

HttpClient::HttpClient() : session(OpenSession()) {}

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
                              DownloadProgressCallback progress, const TransferCancel* cancel) {
  if (cancel && cancel->IsCancelled()) return false;
  OpenedRequest opened;
  opened.cancel = cancel;
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
    return !progress || progress(std::string_view(data, size), written, announced);
  });
  file.reset();

  const bool cancelled = end == BodyEnd::kStopped && !writeFailed;
  if (cancelled) DeleteFileW(path.c_str());
  return end == BodyEnd::kComplete;
}

}  // namespace zavex
