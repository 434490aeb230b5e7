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
// A failure after which the bytes kept stand at least this many above their
// high at the last renewal does not count against kMaxAttempts: a connection
// cut every so often still brings a large file whole, and a server can never
// keep a request retrying without sending more of it.
inline constexpr uint64_t kAttemptRenewingBytes = uint64_t{1} << 20;

// What one download has brought, read after each attempt.
struct TransferBytes {
  std::function<uint64_t()> kept;     // in the file so far
  std::function<uint64_t()> fetched;  // received by this run's attempts
  uint64_t size = 0;                  // the file's size
};

// The most a download of size bytes may fetch over all its attempts: twice
// its size plus kAttemptRenewingBytes.
uint64_t FetchCap(uint64_t size);

// One attempt: true when it succeeded, otherwise failure says why and
// whether another attempt may succeed.
using RequestAttempt = std::function<bool(RequestFailure& failure)>;

// Runs attempt up to kMaxAttempts times while its failures are transient,
// waiting about 1, 2 and 4 s between them (a Retry-After of up to
// kMaxRetryAfterSeconds wins), and logging each wait as "Retrying <name> in
// N s (attempt k of 4): <reason>". A cancel ends the wait and the retries.
// For a download, bytes renews the attempts (see kAttemptRenewingBytes), and
// no attempt starts that could take the fetched bytes past FetchCap. True
// when an attempt succeeded.
bool RetryTransientFailures(const std::string& name, const TransferCancel* cancel, LogSink& log,
                            const RequestAttempt& attempt, const TransferBytes& bytes = {});

// For HttpClient::onNotice: an INFO line in the log.
void LogNetworkNotice(const std::string& line);

// HttpClient::Get with those retries, tied to the client's cancel.
HttpResponse GetWithRetries(HttpClient& http, const std::wstring& url, const std::string& name);

}  // namespace zavex
