#include "ops/request_retry.h"

#include <windows.h>

#include <algorithm>
#include <random>

namespace zavex {
namespace {

// About 1, 2 and 4 s after the first, second and third failure, each
// stretched by up to a quarter at random, so that clients cut off together
// do not return together; a longer Retry-After of up to kMaxRetryAfterSeconds
// wins.
DWORD RetryDelayMs(int failedAttempt, uint32_t retryAfterSeconds) {
  thread_local std::minstd_rand random(GetCurrentThreadId() ^ GetTickCount());
  const DWORD backoffMs = kFirstRetryDelayMs << (failedAttempt - 1);
  const DWORD jitteredMs = backoffMs + random() % (backoffMs / 4 + 1);
  const DWORD askedMs = std::min(retryAfterSeconds, kMaxRetryAfterSeconds) * 1000;
  return std::max(jitteredMs, askedMs);
}

// False when the cancel came during the wait.
bool WaitUnlessCancelled(const TransferCancel* cancel, DWORD waitMs) {
  if (!cancel) {
    Sleep(waitMs);
    return true;
  }
  return WaitForSingleObject(cancel->Event(), waitMs) == WAIT_TIMEOUT;
}

// True when another attempt, which may fetch the whole file, stays within
// the cap; otherwise logs why the download ends.
bool MayFetchAgain(const std::string& name, const TransferBytes& bytes, LogSink& log) {
  if (!bytes.fetched) return true;
  const uint64_t fetched = bytes.fetched();
  if (fetched + bytes.size <= FetchCap(bytes.size)) return true;
  log.Warn("Giving up " + name + ": " + std::to_string(fetched) + " bytes fetched for " +
           std::to_string(bytes.size) + ", another attempt could pass the cap of " +
           std::to_string(FetchCap(bytes.size)));
  return false;
}

}  // namespace

uint64_t FetchCap(uint64_t size) { return 2 * size + kAttemptRenewingBytes; }

bool RetryTransientFailures(const std::string& name, const TransferCancel* cancel, LogSink& log,
                            const RequestAttempt& attempt, const TransferBytes& bytes) {
  uint64_t keptHigh = bytes.kept ? bytes.kept() : 0;
  for (int number = 1;; ++number) {
    RequestFailure failure;
    if (attempt(failure)) return true;
    const uint64_t kept = bytes.kept ? bytes.kept() : 0;
    if (kept >= keptHigh + kAttemptRenewingBytes) {
      keptHigh = kept;
      number = 1;
    }
    if (!failure.transient || number == kMaxAttempts) return false;
    if (!MayFetchAgain(name, bytes, log)) return false;
    if (cancel && cancel->IsCancelled()) return false;
    const DWORD waitMs = RetryDelayMs(number, failure.retryAfterSeconds);
    log.Warn("Retrying " + name + " in " + SecondsText(waitMs) + " (attempt " +
             std::to_string(number + 1) + " of " + std::to_string(kMaxAttempts) +
             "): " + failure.reason);
    if (!WaitUnlessCancelled(cancel, waitMs)) return false;
  }
}

void LogNetworkNotice(const std::string& line) { Logger::Instance().Info(line); }

HttpResponse GetWithRetries(HttpClient& http, const std::wstring& url, const std::string& name) {
  HttpResponse response;
  RetryTransientFailures(name, http.GetCancel(), Logger::Instance(), [&](RequestFailure& failure) {
    response = http.Get(url);
    failure = response.failure;
    return response.success;
  });
  return response;
}

}  // namespace zavex
