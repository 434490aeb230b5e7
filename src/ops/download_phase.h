#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/delta_index.h"
#include "formats/fetch_plan.h"
#include "formats/manifest.h"
#include "ops/operation_callbacks.h"
#include "ops/request_retry.h"
#include "platform/http_client.h"
#include "platform/transfer_cancel.h"

namespace zavex {

// One file of a run, downloaded beside its place before it is put there.
struct StagedFile {
  StagedFile(const std::wstring& installPath, const ManifestFile& manifestEntry);

  ManifestFile entry;
  std::wstring widePath;
  std::wstring finalPath;  // installPath, "\" and the path, separators as written
  std::wstring tempPath;   // finalPath + ".tmp"
  std::vector<FetchWay> ways = {{FetchWayKind::kWhole, entry.path, entry.size, entry.hash, ""}};

  // What the first way fetches.
  uint64_t PlannedBytes() const { return ways.front().size; }
};

// The files of entries, each with the ways that installed (the installed
// record, or an empty manifest) and index offer.
std::vector<StagedFile> StageFiles(const std::wstring& installPath,
                                   const std::vector<ManifestFile>& entries,
                                   const Manifest& installed = {}, const DeltaIndex& index = {});

// The files, and the bytes their first ways fetch.
TransferCounts CountTransfer(const std::vector<StagedFile>& files);

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
// path, hashed while it is written, verified and flushed to disk. A file
// that names the record ("manifest.json" at the top, in any letter case) is
// not downloaded: the record is written from the verified manifest. The
// lines that one file logs are written together when it ends.
//
// Each file takes its ways in order: a patch or compressed copy is
// downloaded beside the file ("<file>.patch.tmp", "<file>.deflate.tmp"),
// bounded by its planned size, then, once its bytes match the SHA-256 that
// the index lists, decoded into the temp path; any failure of a way but a
// cancel moves on to the next, and the whole file comes last.
// The log names the way each file took and the bytes it fetched.
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
// of the run.
bool DownloadPhase(DownloadRun& run, const std::vector<StagedFile>& files,
                   DownloadedFiles& downloaded, std::wstring& error);

}  // namespace zavex
