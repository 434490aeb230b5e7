#pragma once

#include <string>
#include <vector>

#include "formats/manifest.h"
#include "formats/utc_time.h"
#include "ops/release_server.h"
#include "platform/http_client.h"

namespace zavex {

// The server's base URL + "manifest.json.sig" with the query that
// manifestUrl carries.
std::wstring SignatureUrlFor(const ReleaseServer& server, const std::wstring& manifestUrl);

// True without a request when server has no keys. Otherwise fetches the
// signature published beside manifestUrl and checks it over manifestBytes
// with each key; false, after logging ERROR "Remote manifest signature is
// invalid", when it is missing, malformed or made by none of the keys.
bool CheckManifestSignature(HttpClient& http, const ReleaseServer& server,
                            const std::wstring& manifestUrl, const std::string& manifestBytes);

// True when keys is empty or the manifest's "expires" lies after now; false,
// after logging ERROR why, when it is missing, malformed or not after now.
bool CheckManifestExpiry(const Manifest& manifest, UtcSeconds now,
                         const std::vector<ReleaseKeyBlob>& keys);

// This computer's clock.
UtcSeconds UtcNow();

}  // namespace zavex
