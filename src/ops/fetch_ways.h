#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/logger.h"
#include "ops/arriving_file.h"
#include "ops/delta_files.h"
#include "ops/resumable_transfer.h"
#include "ops/staged_file.h"
#include "platform/http_client.h"
#include "platform/sha256_hasher.h"
#include "platform/transfer_cancel.h"

namespace zavex {

enum class FetchResult { kNotStarted, kVerified, kSkipped, kOptionalMissing, kFailed };

// What the fetches of one run share.
struct FetchRun {
  const std::wstring& installPath;
  const std::wstring& serverBaseUrl;  // each file's path is appended to it
  const bool addNoCacheQuery;         // updates ask past caches; the install does not
  HttpClient& http;
  const TransferCancel& stop;
  std::atomic<uint64_t>& fetchedBytes;  // over every way and attempt
};

// Brings files into their temp paths one at a time, with a hasher of its own
// (one per thread). onReceived gets the bytes in the way's file so far.
class WayFetcher {
 public:
  WayFetcher(const FetchRun& fetchRun, std::function<void(const StagedFile&, uint64_t)> onReceived);

  // The file into its temp path by each of its ways in turn until one gives
  // the verified file, flushed to disk. A patch or compressed copy is
  // downloaded into the staging folder (see ops/download_staging.h), bounded
  // by its planned size, and decoded into the temp path (a forward patch as
  // it arrives); any failure of a way but a cancel moves on to the next, and
  // the whole file comes last. A whole file continued from a partial one that
  // fails its hash is fetched once more from byte 0. The log names the way
  // the file took and the bytes it fetched. Leaves no temp file unless it is
  // verified.
  FetchResult Fetch(const StagedFile& file, LogLines& log, std::wstring& error);

 private:
  // How the apply of a forward patch that ran as it arrived ended.
  struct EarlyApply {
    bool ran = false;  // it ran, on bytes that the download did not write again
    bool applied = false;
    std::string reason;
  };

  FetchResult FetchWhole(const StagedFile& file, LogLines& log, std::wstring& error);
  bool FetchDecoded(const StagedFile& file, const FetchWay& way, LogLines& log, std::string& reason);
  TransferOutcome DownloadApplying(const StagedFile& file, const FetchWay& way, const TransferTarget& artifact,
                                   LogLines& log, EarlyApply& early);
  DecodedFile Output(const StagedFile& file);
  bool Decode(const StagedFile& file, const FetchWay& way, const std::wstring& artifactPath, std::string& reason);
  bool Verified(const StagedFile& file, const FetchWay& way, bool asItArrived, LogLines& log, std::string& reason);
  TransferOutcome DownloadTarget(const StagedFile& file, const TransferTarget& target, LogLines& log,
                                 ArrivingFile* arriving = nullptr);
  TransferTarget TargetOf(const StagedFile& file, const FetchWay& way) const;

  const FetchRun& run;
  std::function<void(const StagedFile&, uint64_t)> onReceived;
  Sha256Hasher hasher;        // what is downloaded
  Sha256Hasher outputHasher;  // what is decoded, also while the download runs
};

}  // namespace zavex
