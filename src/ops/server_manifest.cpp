#include "ops/server_manifest.h"

#include <ctime>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/manifest_signature.h"
#include "ops/request_retry.h"

namespace zavex {

std::wstring NoCacheQuery() {
  return L"?nocache=" + std::to_wstring(static_cast<long long>(_time64(nullptr)));
}

bool FetchServerManifest(HttpClient& http, const ReleaseServer& server, const std::wstring& url,
                         const ManifestFetchTexts& texts, Manifest& manifest,
                         std::wstring& error) {
  Logger& log = Logger::Instance();
  const HttpResponse response = GetWithRetries(http, url, WideToUtf8(kManifestFileName));
  if (!response.success) {
    log.Error(texts.failureLog + response.failure.reason);
    error = texts.failureError + response.error;
    return false;
  }
  log.Info(texts.downloadedLog + std::to_string(response.body.size()) + " bytes");
  if (!CheckManifestSignature(http, server, url, response.body)) {
    error = L"Manifest inválido";
    return false;
  }
  manifest = ParseManifest(response.body);
  if (!IsValid(manifest)) {
    log.Error(texts.invalidLog);
  } else if (CheckManifestExpiry(manifest, UtcNow(), server.keys)) {
    return true;
  }
  error = L"Manifest inválido";
  return false;
}

}  // namespace zavex
