#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ops/operation_callbacks.h"
#include "ops/staged_file.h"
#include "platform/http_client.h"
#include "platform/transfer_cancel.h"

namespace zavex {

// What the download phase of one run works with.
struct DownloadRun {
  const std::wstring& installPath;
  const std::wstring& serverBaseUrl;  // each file's path is appended to it
  const TransferCancel& cancel;
  const ProgressCallback& onProgress;
  const bool addNoCacheQuery;  // updates ask past caches; the install does not
  HttpClient& http;
  TransferCounts counts;  // the run's totals; the files accepted once the phase ends
};

// What the download phase leaves for the placing phase and the record.
struct DownloadedFiles {
  std::vector<const StagedFile*> verified;   // in the order of the files
  std::vector<std::string> missingOptional;  // paths of optional files that did not arrive
};

// Most transfers that run at once, each on its own connection and hasher.
inline constexpr size_t kMaxParallelTransfers = 6;

// Fetches the files, up to kMaxParallelTransfers at once, each into its temp
// path by its ways (see WayFetcher::Fetch), hashed while it is written,
// verified and flushed to disk. A file that names the record
// ("manifest.json" at the top, in any letter case) is not downloaded: the
// record is written from the verified manifest. A file whose place lies
// behind a link fails. The lines that one file logs are written together
// when it ends.
//
// A transient failure is tried again (see RetryTransientFailures), from the
// bytes already written.
//
// A download of at least 1 MiB that a killed run left part of is continued
// when it was left for the same entry (path, hash and size; for a patch or
// copy its address, the file's hash and its size), otherwise fetched again.
//
// The first required file that fails stops the others and gives the error.
// A cancel stops them as well and fails the phase: the error is then that of
// the first required file it cut short, otherwise "Cancelado pelo usuário".
// An optional file that does not arrive is skipped. False leaves no temp file
// of the run. Either way the staging folder is gone when it returns.
bool DownloadPhase(DownloadRun& run, const std::vector<StagedFile>& files,
                   DownloadedFiles& downloaded, std::wstring& error);

}  // namespace zavex
