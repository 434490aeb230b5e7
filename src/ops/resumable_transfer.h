#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/logger.h"
#include "formats/manifest.h"
#include "platform/http_client.h"
#include "platform/sha256_hasher.h"
#include "platform/transfer_cancel.h"

namespace zavex {

// Downloads from this size on get a note that lets a later run continue them.
inline constexpr uint64_t kResumableBytes = 1024 * 1024;

// One download into a partial file: a file itself, or a patch or compressed
// copy of it. noted is what its note names: the entry, or for a patch or
// copy its address, the file's hash and its size; its size bounds the
// download.
struct TransferTarget {
  std::wstring url;
  std::wstring partialPath;
  std::wstring notePath;  // the entry's one note; empty when it cannot have one
  ManifestFile noted;
};

struct TransferOutcome {
  DownloadResult result;
  uint64_t received = 0;   // the bytes in the partial file, all added to the hasher
  uint64_t fetched = 0;    // those that came in this run
  bool continued = false;  // some came before the last answer: from a killed run or an answer cut short
};

// What a transfer reports and is stopped by.
struct TransferContext {
  HttpClient& http;
  const TransferCancel& stop;
  // The bytes in the partial file so far: 0 again when an answer starts it
  // afresh.
  std::function<void(uint64_t received)> onReceived;
};

// Downloads target into its partial file, hashed as it is written (the
// hasher begun afresh), with the attempts of RetryTransientFailures, each
// continuing from the bytes already written. A partial file that a killed
// run left is continued when the note names this download; otherwise it is
// fetched from byte 0, and a download of kResumableBytes or more first
// writes its note. The note goes once the transfer ends, whatever its end,
// so no note outlives its download to name what is written there later.
TransferOutcome TransferResumable(const TransferContext& context, const TransferTarget& target,
                                  Sha256Hasher& hasher, LogLines& log);

}  // namespace zavex
