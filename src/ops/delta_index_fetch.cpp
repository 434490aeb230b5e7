#include "ops/delta_index_fetch.h"

#include "base/logger.h"
#include "base/text_conversion.h"
#include "platform/sha256_hasher.h"

namespace zavex {
namespace {

bool MatchesNamed(const std::string& body, const DeltaIndexRef& named) {
  if (body.size() != named.size) return false;
  Sha256Hasher hasher;
  hasher.Begin();
  hasher.Add(body);
  return hasher.Finish() == named.hash;
}

}  // namespace

bool FetchDeltaIndex(HttpClient& http, const ReleaseServer& server, const DeltaIndexRef& named,
                     DeltaIndex& index) {
  Logger& log = Logger::Instance();
  index = DeltaIndex();
  if (named.hash.empty()) {
    log.Info("The manifest names no index of compressed copies and patches: whole files");
    return false;
  }
  const std::wstring url = server.baseUrl + Utf8ToWide(DeltaFolderPath(DeltaIndexName(named.hash)));
  const HttpResponse response = http.Get(url, static_cast<size_t>(named.size));
  if (!response.success) {
    log.Info("No index of compressed copies and patches (" + response.failure.reason + "): whole files");
    return false;
  }
  if (!MatchesNamed(response.body, named)) {
    log.Warn("The index of compressed copies and patches is not the one the manifest names (" +
             std::to_string(response.body.size()) + " bytes): whole files");
    return false;
  }
  if (!ParseDeltaIndex(response.body, index)) {
    log.Warn("The index of compressed copies and patches is malformed: whole files");
    return false;
  }
  log.Info("Index of compressed copies and patches: " + std::to_string(index.compressed.size()) +
           " copies, " + std::to_string(index.patches.size()) + " patches");
  return true;
}

}  // namespace zavex
