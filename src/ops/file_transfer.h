#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/manifest.h"
#include "ops/operation_callbacks.h"
#include "platform/http_client.h"

namespace zavex {

// Files and bytes accepted so far in one run, and the run's totals. Bytes
// come from the manifest's sizes and add up in 64 bits.
struct TransferCounts {
  int doneFiles = 0;
  int totalFiles = 0;
  uint64_t doneBytes = 0;
  uint64_t totalBytes = 0;

  void Accept(const ManifestFile& entry);
  // Every file done: the counts of the reports after the last file.
  TransferCounts Completed() const;
};

TransferCounts CountTransfer(const std::vector<ManifestFile>& files);

// Calls callback with the counts, bytes clamped to 32 bits, and text when it
// is not empty.
void ReportProgress(const ProgressCallback& callback, const TransferCounts& counts,
                    const std::wstring& text);

// "?nocache=" and the current time in seconds since 1970 (UTC).
std::wstring NoCacheQuery();

// The path up to its last "\" or "/"; empty when it has none.
std::wstring ParentFolderOf(const std::wstring& path);

// What FetchServerManifest logs and reports; each text is followed by the
// detail that it names.
struct ManifestFetchTexts {
  const char* failureLog;        // + the HTTP error
  const wchar_t* failureError;   // + the HTTP error
  const char* downloadedLog;     // + the body size and " bytes"
  const char* invalidLog;
};

// Gets the manifest at url, checks its signature when release keys are
// compiled in, parses it, and then checks its expiry. False, with error set,
// when it could not be received, or its signature, content or expiry is not
// valid ("Manifest inválido").
bool FetchServerManifest(HttpClient& http, const std::wstring& url,
                         const ManifestFetchTexts& texts, Manifest& manifest,
                         std::wstring& error);

}  // namespace zavex
