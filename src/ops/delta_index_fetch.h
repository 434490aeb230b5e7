#pragma once

#include "formats/delta_index.h"
#include "ops/release_server.h"
#include "platform/http_client.h"

namespace zavex {

// Gets the index of compressed copies and patches that the manifest names
// and reads it once its size and SHA-256 are those named. False, logged in
// one line and index empty, when the manifest names none or it cannot be had
// or read, or does not match: the files then come whole. The index is named
// by its hash, so any cache may keep it.
bool FetchDeltaIndex(HttpClient& http, const ReleaseServer& server, const DeltaIndexRef& named,
                     DeltaIndex& index);

}  // namespace zavex
