#include "platform/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "formats/content_range.h"
#include "platform/proxy_settings.h"

namespace zavex {
namespace {

constexpr wchar_t kUserAgent[] = L"Zavex Phone Updater/1.0";
constexpr DWORD kHostNameChars = 256;
constexpr DWORD kUrlPathChars = 2048;
constexpr DWORD kTransferChunkBytes = 8192;
constexpr DWORD kNotices =
    WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES;

// How often a wait for a network step looks at the cancel and the stall watch.
constexpr DWORD kPollMs = 50;

// WinHTTP's own limits for each step, past the stall watch's, which ends a
// silent request first with its own reason.
constexpr int kResolveTimeoutMs = 15000;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kSendTimeoutMs = 60000;
constexpr int kReceiveTimeoutMs = 60000;

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
  DWORD errorCode = 0;
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
      context->errorCode = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
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

// Tells a request that makes progress from one that has stalled.
class StallWatch {
 public:
  explicit StallWatch(const StallLimits& stallLimits)
      : limits(stallLimits), lastArrival(GetTickCount64()), windowStart(lastArrival) {}

  // Something arrived: the response head, or body bytes.
  void Arrived(uint64_t bodyBytes) {
    lastArrival = GetTickCount64();
    windowBytes += bodyBytes;
  }

  // Empty while the request makes progress; otherwise why it stalled.
  std::string Check() {
    const ULONGLONG now = GetTickCount64();
    if (now - lastArrival >= limits.silenceMs) {
      return "stalled: nothing received for " + SecondsText(limits.silenceMs);
    }
    if (now - windowStart < limits.windowMs) return "";
    if (windowBytes < limits.windowBytes) {
      return "stalled: " + std::to_string(windowBytes) + " bytes received in " +
             SecondsText(limits.windowMs);
    }
    windowStart = now;
    windowBytes = 0;
    return "";
  }

 private:
  const StallLimits limits;
  ULONGLONG lastArrival;
  ULONGLONG windowStart;
  uint64_t windowBytes = 0;
};

// How a request answered its proxy's 407.
enum class ProxyLogon { kNotAsked, kAnswered, kRefused };

// The connection is declared first so that the request is closed before it.
struct OpenedRequest {
  OpenedRequest(const TransferCancel* transferCancel, const StallLimits& limits)
      : cancel(transferCancel), watch(limits) {}

  UniqueInternet connection;
  UniqueInternet request;
  RequestContext* context = nullptr;  // WinHTTP's; valid while request is open
  const TransferCancel* cancel;
  StallWatch watch;
  DWORD statusCode = 0;
  std::optional<uint64_t> contentLength;  // none when the server announced none
  DWORD systemError = 0;                  // of the step that failed
  std::string stalled;                    // why the request stalled
  bool throughProxy = false;              // a 407 from anyone else goes unanswered
  ProxyLogon proxyLogon = ProxyLogon::kNotAsked;
};

enum class StepEnd { kDone, kFailed, kCancelled, kStalled };
enum class BodyEnd { kComplete, kRefused, kCancelled, kStalled, kBroken };

bool IsSuccessStatus(DWORD status) { return status - 200u <= 99u; }

bool IsTransientStatus(DWORD status) {
  switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504: return true;
    default: return false;
  }
}

// Refused, reset or closed connections and timeouts.
bool IsTransientError(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return true;
    default:
      return false;
  }
}

// 0 when the header is missing or not a number.
DWORD QueryNumberHeader(HINTERNET request, DWORD infoLevel) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  WinHttpQueryHeaders(request, infoLevel | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &value, &size, WINHTTP_NO_HEADER_INDEX);
  return value;
}

// Empty when the header is missing or longer than a number can be.
std::wstring QueryTextHeader(HINTERNET request, DWORD infoLevel) {
  wchar_t text[64] = {};
  DWORD size = sizeof(text);
  if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return L"";
  }
  return text;
}

// The announced length, also one beyond 32 bits, which WinHTTP's number
// query would not give.
std::optional<uint64_t> QueryContentLength(HINTERNET request) {
  return ReadContentLength(QueryTextHeader(request, WINHTTP_QUERY_CONTENT_LENGTH));
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

// Waits until the step that started is complete, the transfer is cancelled
// or the request stalls.
StepEnd WaitForStep(OpenedRequest& opened, bool started) {
  if (!started) {
    opened.systemError = GetLastError();
    return StepEnd::kFailed;
  }
  RequestContext& context = *opened.context;
  StepEnd end = StepEnd::kDone;
  AcquireSRWLockExclusive(&context.lock);
  while (context.stepPending) {
    if (opened.cancel && opened.cancel->IsCancelled()) {
      end = StepEnd::kCancelled;
      break;
    }
    opened.stalled = opened.watch.Check();
    if (!opened.stalled.empty()) {
      end = StepEnd::kStalled;
      break;
    }
    SleepConditionVariableSRW(&context.stepEnded, &context.lock, kPollMs, 0);
  }
  ReleaseSRWLockExclusive(&context.lock);
  if (end != StepEnd::kDone) return end;
  if (!context.failed) return StepEnd::kDone;
  opened.systemError = context.errorCode;
  return StepEnd::kFailed;
}

// Sends the request and waits for the response head and its status. Null on
// success, otherwise the failing step. WinHTTP's default autologon policy
// stays: credentials go only where WinHttpSetCredentials sends them.
const char* SendAndReceive(OpenedRequest& opened, const std::wstring& headers, StepEnd& end) {
  BeginStep(opened);
  const bool sent = WinHttpSendRequest(
      opened.request.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
      static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  end = WaitForStep(opened, sent);
  if (end != StepEnd::kDone) return "Failed to send request";
  BeginStep(opened);
  const bool receiving = WinHttpReceiveResponse(opened.request.get(), nullptr);
  end = WaitForStep(opened, receiving);
  if (end != StepEnd::kDone) return "Failed to receive response";
  opened.watch.Arrived(0);
  opened.statusCode = QueryNumberHeader(opened.request.get(), WINHTTP_QUERY_STATUS_CODE);
  return nullptr;
}

// A 407 from the configured proxy: the logged-on user's credentials for
// Negotiate or NTLM, set for the proxy alone; other schemes need a name and
// a password, which this program never has.
ProxyLogon AnswerProxyChallenge(HINTERNET request) {
  DWORD schemes = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!WinHttpQueryAuthSchemes(request, &schemes, &first, &target) ||
      target != WINHTTP_AUTH_TARGET_PROXY) {
    return ProxyLogon::kRefused;
  }
  for (const DWORD scheme : {WINHTTP_AUTH_SCHEME_NEGOTIATE, WINHTTP_AUTH_SCHEME_NTLM}) {
    if ((schemes & scheme) &&
        WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr,
                              nullptr)) {
      return ProxyLogon::kAnswered;
    }
  }
  return ProxyLogon::kRefused;
}

// Sends a GET for url, with extra header lines, and waits for the response
// head. Null on success, otherwise the failing step.
const char* OpenRequest(HINTERNET session, const std::wstring& url, const std::wstring& headers,
                        OpenedRequest& opened, StepEnd& end) {
  end = StepEnd::kFailed;
  const auto failed = [&opened](const char* step) {
    opened.systemError = GetLastError();
    return step;
  };
  if (!session) return failed("Failed to initialize WinHTTP");

  wchar_t host[kHostNameChars] = {};
  wchar_t path[kUrlPathChars] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostNameChars;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kUrlPathChars;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return failed("Failed to parse URL");

  opened.connection.reset(WinHttpConnect(session, host, parts.nPort, 0));
  if (!opened.connection) return failed("Failed to connect to server");

  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  opened.request.reset(WinHttpOpenRequest(opened.connection.get(), L"GET", path, nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          flags));
  if (!opened.request || !AttachContext(opened)) return failed("Failed to create request");

  if (const char* failedStep = SendAndReceive(opened, headers, end)) return failedStep;
  if (opened.statusCode == HTTP_STATUS_PROXY_AUTH_REQ && opened.throughProxy) {
    opened.proxyLogon = AnswerProxyChallenge(opened.request.get());
    if (opened.proxyLogon == ProxyLogon::kAnswered) {
      if (const char* failedStep = SendAndReceive(opened, headers, end)) return failedStep;
    }
  }
  opened.contentLength = QueryContentLength(opened.request.get());
  return nullptr;
}

BodyEnd BodyEndOf(StepEnd step) {
  switch (step) {
    case StepEnd::kCancelled: return BodyEnd::kCancelled;
    case StepEnd::kStalled: return BodyEnd::kStalled;
    default: return BodyEnd::kBroken;
  }
}

// Passes the body chunk by chunk to sink(data, size) until it ends, the
// transfer fails, stalls or is cancelled, or sink returns false. A body
// shorter than the announced length was cut off, even when the transport
// reports a clean end.
template <typename Sink>
BodyEnd ReadBody(OpenedRequest& opened, uint64_t& received, Sink&& sink) {
  RequestContext& context = *opened.context;
  received = 0;
  for (;;) {
    // Only what has arrived, so that no read waits for a full buffer.
    BeginStep(opened);
    const bool querying = WinHttpQueryDataAvailable(opened.request.get(), nullptr);
    StepEnd step = WaitForStep(opened, querying);
    if (step != StepEnd::kDone) return BodyEndOf(step);
    if (context.bytesAvailable == 0) break;
    BeginStep(opened);
    const bool reading = WinHttpReadData(opened.request.get(), context.buffer,
                                         std::min(context.bytesAvailable, kTransferChunkBytes),
                                         nullptr);
    step = WaitForStep(opened, reading);
    if (step != StepEnd::kDone) return BodyEndOf(step);
    if (context.bytesRead == 0) break;
    received += context.bytesRead;
    opened.watch.Arrived(context.bytesRead);
    if (!sink(context.buffer, context.bytesRead)) return BodyEnd::kRefused;
  }
  return received < opened.contentLength.value_or(0) ? BodyEnd::kBroken : BodyEnd::kComplete;
}

// Texts here are ASCII; other characters a server sends become '?'.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t character : text) narrow += character < 0x80 ? static_cast<char>(character) : '?';
  return narrow;
}

std::string ErrorText(const OpenedRequest& opened) {
  return opened.systemError ? "WinHTTP error " + std::to_string(opened.systemError) : "";
}

// Why the request failed at a step or in its body, and whether to try again.
RequestFailure NetworkFailure(const OpenedRequest& opened, StepEnd end, const std::string& step) {
  RequestFailure failure;
  failure.statusCode = opened.statusCode;
  failure.systemError = opened.systemError;
  switch (end) {
    case StepEnd::kCancelled:
      failure.reason = "cancelled";
      break;
    case StepEnd::kStalled:
      failure.reason = opened.stalled;
      failure.transient = true;
      break;
    default:
      failure.reason = step + (opened.systemError ? " (" + ErrorText(opened) + ")" : "");
      failure.transient = IsTransientError(opened.systemError);
  }
  return failure;
}

RequestFailure StatusFailure(const OpenedRequest& opened) {
  RequestFailure failure;
  failure.statusCode = opened.statusCode;
  failure.reason = "HTTP " + std::to_string(opened.statusCode);
  if (opened.statusCode == HTTP_STATUS_DENIED) {
    failure.reason += " (credentials are never sent to a server)";
  } else if (opened.proxyLogon == ProxyLogon::kAnswered) {
    failure.reason += " (the proxy did not accept the logged-on user's credentials)";
  } else if (opened.proxyLogon == ProxyLogon::kRefused) {
    failure.reason += " (the proxy asks for credentials other than the logged-on user's)";
  }
  failure.transient = IsTransientStatus(opened.statusCode);
  failure.retryAfterSeconds = QueryNumberHeader(opened.request.get(), WINHTTP_QUERY_RETRY_AFTER);
  return failure;
}

// Transient: the rest may arrive on another attempt.
RequestFailure BodyCutShort(const OpenedRequest& opened, uint64_t bytes) {
  RequestFailure failure = NetworkFailure(
      opened, StepEnd::kFailed, "body cut short after " + std::to_string(bytes) + " bytes");
  failure.transient = true;
  return failure;
}

RequestFailure RefusedBody(const OpenedRequest& opened, const std::string& reason) {
  RequestFailure failure;
  failure.statusCode = opened.statusCode;
  failure.reason = reason;
  return failure;
}

bool SetSecureProtocols(HINTERNET session, DWORD protocols) {
  return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                          sizeof(protocols)) != FALSE;
}

// One proxy's session. Asynchronous, so that a wait can end on a cancel. TLS 1.2, and 1.3 where
// Windows has it: the default of Windows 7 and 8.1 leaves 1.2 out, and a
// system without 1.3 refuses the pair.
UniqueInternet OpenSession(const ProxyChoice& choice) {
  const bool named = !choice.proxy.empty();
  UniqueInternet session(WinHttpOpen(
      kUserAgent, named ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
      named ? choice.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
      named && !choice.bypass.empty() ? choice.bypass.c_str() : WINHTTP_NO_PROXY_BYPASS,
      WINHTTP_FLAG_ASYNC));
  if (!session ||
      WinHttpSetStatusCallback(session.get(), OnRequestNotice, kNotices, 0) ==
          WINHTTP_INVALID_STATUS_CALLBACK ||
      !WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                          kReceiveTimeoutMs)) {
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

uint32_t Clamp32(uint64_t value) { return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX)); }

// The file for a body that starts at offset: created empty, or the bytes
// before offset kept.
UniqueFile OpenTarget(const std::wstring& path, uint64_t offset) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              offset ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (file && offset &&
      !(SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()))) {
    return UniqueFile();
  }
  return file;
}

// The request, its answer and its body into path.
DownloadResult Download(HINTERNET session, const std::wstring& url, const std::wstring& path,
                        const DownloadProgressCallback& progress, const DownloadLimits& limits,
                        OpenedRequest& opened) {
  DownloadResult result;
  const uint64_t resumeFrom = limits.resumeFrom;
  const std::wstring range =
      resumeFrom ? L"Range: bytes=" + std::to_wstring(resumeFrom) + L"-" : L"";
  StepEnd step;
  if (const char* failedStep = OpenRequest(session, url, range, opened, step)) {
    result.failure = NetworkFailure(opened, step, failedStep);
    return result;
  }
  if (!IsSuccessStatus(opened.statusCode)) {
    result.failure = StatusFailure(opened);
    return result;
  }
  const bool continues = opened.statusCode == 206;
  const std::wstring contentRange =
      continues ? QueryTextHeader(opened.request.get(), WINHTTP_QUERY_CONTENT_RANGE) : L"";
  if (continues && !(resumeFrom && ContinuesAt(contentRange, resumeFrom, limits.size))) {
    result.failure = RefusedBody(opened, "HTTP 206 with Content-Range \"" + Narrow(contentRange) + "\"");
    result.failure.transient = true;
    result.restartWhole = true;
    return result;
  }
  const uint64_t bodyStart = continues ? resumeFrom : 0;
  const uint64_t announced = bodyStart + opened.contentLength.value_or(0);
  if (limits.size && opened.contentLength && announced != *limits.size) {
    result.failure = RefusedBody(opened, "Content-Length " + std::to_string(*opened.contentLength) +
                                             " for " + std::to_string(*limits.size - bodyStart) +
                                             " bytes");
    return result;
  }

  UniqueFile file = OpenTarget(path, bodyStart);
  if (!file) {
    result.failure = RefusedBody(opened, "the file could not be opened");
    return result;
  }
  if (limits.onBodyStart) limits.onBodyStart(bodyStart);
  uint64_t written = bodyStart;
  std::string refused;
  uint64_t received = 0;
  const BodyEnd end = ReadBody(opened, received, [&](const char* data, DWORD size) {
    if (limits.size && written + size > *limits.size) {
      refused = "more than " + std::to_string(*limits.size) + " bytes received";
      return false;
    }
    if (!WriteChunk(file.get(), data, size)) {
      refused = "the file could not be written";
      return false;
    }
    written += size;
    if (!progress || progress(std::string_view(data, size), Clamp32(written), Clamp32(announced))) {
      return true;
    }
    refused = "cancelled";
    return false;
  });
  file.reset();

  switch (end) {
    case BodyEnd::kComplete:
      if (!limits.size || written == *limits.size) {
        result.success = true;
        return result;
      }
      [[fallthrough]];
    case BodyEnd::kBroken:
      result.failure = BodyCutShort(opened, written);
      return result;
    case BodyEnd::kStalled:
      result.failure = NetworkFailure(opened, StepEnd::kStalled, "");
      return result;
    case BodyEnd::kRefused:
      if (refused != "cancelled") {
        result.failure = RefusedBody(opened, refused);
        return result;
      }
      [[fallthrough]];
    case BodyEnd::kCancelled:
      DeleteFileW(path.c_str());
      result.failure = NetworkFailure(opened, StepEnd::kCancelled, "");
      return result;
  }
  return result;
}

// The request and its whole body into body; an empty reason on success.
RequestFailure ReadWholeBody(HINTERNET session, const std::wstring& url, OpenedRequest& opened,
                             size_t maxBytes, std::string& body) {
  StepEnd step;
  if (const char* failedStep = OpenRequest(session, url, L"", opened, step)) {
    return NetworkFailure(opened, step, failedStep);
  }
  if (!IsSuccessStatus(opened.statusCode)) return StatusFailure(opened);
  uint64_t received = 0;
  const BodyEnd end = ReadBody(opened, received, [&body, maxBytes](const char* data, DWORD size) {
    if (body.size() + size > maxBytes) return false;
    body.append(data, size);
    return true;
  });
  switch (end) {
    case BodyEnd::kComplete:
      return RequestFailure();
    case BodyEnd::kRefused:
      return RefusedBody(opened, "Response too large");
    case BodyEnd::kBroken:
      return BodyCutShort(opened, received);
    case BodyEnd::kStalled:
      return NetworkFailure(opened, StepEnd::kStalled, "");
    case BodyEnd::kCancelled:
      break;
  }
  return NetworkFailure(opened, StepEnd::kCancelled, "");
}

std::string ProxyLogonNotice(const std::string& via) {
  return "HTTP 407 from the proxy: answered with the logged-on user's credentials" + via;
}

}  // namespace

std::string SecondsText(uint32_t ms) {
  const uint32_t tenths = (ms + 50) / 100;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") +
         " s";
}

HttpClient::HttpClient(const TransferCancel* cancel, const StallLimits& limits)
    : getCancel(cancel), stallLimits(limits) {}

HINTERNET HttpClient::SessionFor(const std::wstring& url, std::string& via, bool& throughProxy) {
  const size_t hostStart = url.find(L"://");
  const std::wstring server =
      url.substr(0, hostStart == std::wstring::npos ? 0 : url.find(L'/', hostStart + 3));
  std::optional<ProxyChoice> looked;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (proxyOfServer.find(server) == proxyOfServer.end()) looked.emplace();
  }
  if (looked) {
    *looked = ProxyForUrl(url, kUserAgent);
    if (!looked->notice.empty()) Notify(looked->notice);
  }
  std::lock_guard<std::mutex> lock(mutex);
  // Of two lookups for one server, the first to end stays.
  if (looked) proxyOfServer.emplace(server, *looked);
  const ProxyChoice& choice = proxyOfServer.at(server);
  throughProxy = !choice.proxy.empty();
  via = " via " + (throughProxy ? Narrow(choice.proxy) : std::string("direct"));
  UniqueInternet& session = sessions[choice.proxy + L"|" + choice.bypass];
  if (!session) session = OpenSession(choice);
  return session.get();
}

void HttpClient::Notify(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!onNotice || !noticed.insert(line).second) return;
  }
  onNotice(line);
}

HttpResponse HttpClient::Get(const std::wstring& url, size_t maxBytes) {
  HttpResponse response;
  OpenedRequest opened(getCancel, stallLimits);
  std::string via;
  HINTERNET session = SessionFor(url, via, opened.throughProxy);
  response.failure = ReadWholeBody(session, url, opened, maxBytes, response.body);
  if (opened.proxyLogon == ProxyLogon::kAnswered) Notify(ProxyLogonNotice(via));
  response.statusCode = static_cast<int32_t>(opened.statusCode);
  response.success = response.failure.reason.empty();
  if (!response.success) {
    response.body.clear();
    if (!(getCancel && getCancel->IsCancelled())) response.failure.reason += via;
    const bool answeredOutside2xx = opened.statusCode != 0 && !IsSuccessStatus(opened.statusCode);
    if (!answeredOutside2xx) response.error = Widen(response.failure.reason);
  }
  return response;
}

DownloadResult HttpClient::DownloadFile(const std::wstring& url, const std::wstring& path,
                                        DownloadProgressCallback progress,
                                        const TransferCancel* cancel,
                                        const DownloadLimits& limits) {
  OpenedRequest opened(cancel, stallLimits);
  if (cancel && cancel->IsCancelled()) {
    DownloadResult result;
    result.failure = NetworkFailure(opened, StepEnd::kCancelled, "");
    return result;
  }
  std::string via;
  HINTERNET session = SessionFor(url, via, opened.throughProxy);
  DownloadResult result = Download(session, url, path, progress, limits, opened);
  if (opened.proxyLogon == ProxyLogon::kAnswered) Notify(ProxyLogonNotice(via));
  if (!result && !(cancel && cancel->IsCancelled())) result.failure.reason += via;
  return result;
}

}  // namespace zavex
