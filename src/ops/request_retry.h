#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/logger.h"
#include "platform/http_client.h"
#include "platform/transfer_cancel.h"

namespace zavex {

// Attempts per request: a transient failure (a connection refused, reset or
// cut short, a stall, HTTP 408, 429, 500, 502, 503 or 504) is tried again
// after a pause.
inline constexpr int kMaxAttempts = 4;
inline constexpr uint32_t kFirstRetryDelayMs = 1000;
inline constexpr uint32_t kMaxRetryAfterSeconds = 60;
// A failure after at least this many more bytes kept than at the previous
// one does not count against kMaxAttempts: a connection cut every so often
// still brings a large file whole, and a server can never keep a request
// retrying without sending it.
inline constexpr uint64_t kAttemptRenewingBytes = uint64_t{1} << 20;

// One attempt: true when it succeeded, otherwise failure says why and
// whether another attempt may succeed.
using RequestAttempt = std::function<bool(RequestFailure& failure)>;

// Runs attempt up to kMaxAttempts times while its failures are transient,
// waiting about 1, 2 and 4 s between them (a Retry-After of up to
// kMaxRetryAfterSeconds wins), and logging each wait as "Retrying <name> in
// N s (attempt k of 4): <reason>". A cancel ends the wait and the retries.
// kept, when given, tells the bytes the request has kept so far (see
// kAttemptRenewingBytes). True when an attempt succeeded.
bool RetryTransientFailures(const std::string& name, const TransferCancel* cancel, LogSink& log,
                            const RequestAttempt& attempt,
                            const std::function<uint64_t()>& kept = nullptr);

// HttpClient::Get with those retries, tied to the client's cancel.
HttpResponse GetWithRetries(HttpClient& http, const std::wstring& url, const std::string& name);

}  // namespace zavex
