#include "ops/manifest_signature.h"

#include <algorithm>
#include <ctime>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "formats/signature_file.h"
#include "ops/request_retry.h"
#include "platform/signature_verifier.h"

namespace zavex {
namespace {

// Empty when the signature holds; otherwise why it does not.
std::string SignatureProblem(HttpClient& http, const std::wstring& url,
                             const std::string& manifestBytes,
                             const std::vector<ReleaseKeyBlob>& keys) {
  const HttpResponse response = GetWithRetries(http, url, kSignatureFileName);
  if (!response.success) return "not received (" + response.failure.reason + ")";
  ManifestSignature signature;
  if (!ReadSignatureFile(response.body, signature)) {
    return "not one line of base64 holding 64 bytes (" + std::to_string(response.body.size()) +
           " bytes received)";
  }
  const bool verified = std::any_of(keys.begin(), keys.end(), [&](const ReleaseKeyBlob& key) {
    return VerifyEcdsaP256(key.data(), key.size(), manifestBytes, signature);
  });
  return verified ? "" : "made by none of the " + std::to_string(keys.size()) + " release keys";
}

}  // namespace

std::wstring SignatureUrlFor(const ReleaseServer& server, const std::wstring& manifestUrl) {
  const std::wstring manifest = server.ManifestUrl();
  const std::wstring query =
      manifestUrl.compare(0, manifest.size(), manifest) == 0 ? manifestUrl.substr(manifest.size())
                                                             : std::wstring();
  return server.baseUrl + Utf8ToWide(kSignatureFileName) + query;
}

bool CheckManifestSignature(HttpClient& http, const ReleaseServer& server,
                            const std::wstring& manifestUrl, const std::string& manifestBytes) {
  const std::vector<ReleaseKeyBlob>& keys = server.keys;
  if (keys.empty()) return true;
  Logger& log = Logger::Instance();
  const std::wstring url = SignatureUrlFor(server, manifestUrl);
  log.Info("Downloading manifest signature from: " + WideToUtf8(url));
  const std::string problem = SignatureProblem(http, url, manifestBytes, keys);
  if (problem.empty()) {
    log.Info("Remote manifest signature verified");
    return true;
  }
  log.Error("Remote manifest signature is invalid");
  log.Error("  Signature " + problem);
  return false;
}

bool CheckManifestExpiry(const Manifest& manifest, UtcSeconds now,
                         const std::vector<ReleaseKeyBlob>& keys) {
  if (keys.empty()) return true;
  Logger& log = Logger::Instance();
  UtcSeconds expires = 0;
  if (!ParseUtcTimestamp(manifest.expires, expires)) {
    log.Error("Remote manifest has no valid expiry (\"expires\": \"" + manifest.expires + "\")");
    return false;
  }
  if (expires > now) return true;
  log.Error("Remote manifest expired on " + manifest.expires +
            " (this computer's clock: " + FormatUtcTimestamp(now) + ")");
  return false;
}

UtcSeconds UtcNow() { return static_cast<UtcSeconds>(_time64(nullptr)); }

}  // namespace zavex
