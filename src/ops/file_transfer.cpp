#include "ops/file_transfer.h"

#include <windows.h>

#include <algorithm>
#include <ctime>

#include "app/logger.h"
#include "app/text_conversion.h"
#include "ops/manifest_signature.h"

namespace zavex {
void TransferCounts::Accept(const ManifestFile& entry) {
  doneBytes += entry.size;
  ++doneFiles;
}

TransferCounts TransferCounts::Completed() const {
  return TransferCounts{totalFiles, totalFiles, totalBytes, totalBytes};
}

TransferCounts CountTransfer(const std::vector<ManifestFile>& files) {
  TransferCounts counts;
  counts.totalFiles = static_cast<int>(files.size());
  for (const ManifestFile& file : files) counts.totalBytes += file.size;
  return counts;
}

void ReportProgress(const ProgressCallback& callback, const TransferCounts& counts,
                    const std::wstring& text) {
  const auto clamped = [](uint64_t bytes) {
    return static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
  };
  if (callback) {
    callback(counts.doneFiles, counts.totalFiles, clamped(counts.doneBytes),
             clamped(counts.totalBytes), text);
  }
}

std::wstring NoCacheQuery() {
  return L"?nocache=" + std::to_wstring(static_cast<long long>(_time64(nullptr)));
}

std::wstring ParentFolderOf(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

bool FetchServerManifest(HttpClient& http, const std::wstring& url,
                         const ManifestFetchTexts& texts, Manifest& manifest,
                         std::wstring& error) {
  Logger& log = Logger::Instance();
  const HttpResponse response = http.Get(url);
  if (!response.success) {
    log.Error(texts.failureLog + WideToUtf8(response.error));
    error = texts.failureError + response.error;
    return false;
  }
  log.Info(texts.downloadedLog + std::to_string(response.body.size()) + " bytes");
  if (!CheckManifestSignature(http, url, response.body, CompiledReleaseKeys())) {
    error = L"Manifest inválido";
    return false;
  }
  manifest = ParseManifest(response.body);
  if (!IsValid(manifest)) {
    log.Error(texts.invalidLog);
  } else if (CheckManifestExpiry(manifest, UtcNow(), CompiledReleaseKeys())) {
    return true;
  }
  error = L"Manifest inválido";
  return false;
}

}  // namespace zavex
