#pragma once

#include <string>
#include <vector>

#include "app/release_keys.h"
#include "formats/manifest.h"
#include "formats/utc_time.h"
#include "platform/http_client.h"

namespace zavex {

// The keys compiled in from ZAVEX_RELEASE_PUBLIC_KEYS.
std::vector<ReleaseKeyBlob> CompiledReleaseKeys();

// ServerBaseUrl + "manifest.json.sig" with the query that manifestUrl carries.
std::wstring SignatureUrlFor(const std::wstring& manifestUrl);

// True without a request when keys is empty. Otherwise fetches the signature
// published beside manifestUrl and checks it over manifestBytes with each key;
// false, after logging ERROR "Remote manifest signature is invalid", when it
// is missing, malformed or made by no key in keys.
bool CheckManifestSignature(HttpClient& http, const std::wstring& manifestUrl,
                            const std::string& manifestBytes,
                            const std::vector<ReleaseKeyBlob>& keys);

// True when keys is empty or the manifest's "expires" lies after now; false,
// after logging ERROR why, when it is missing, malformed or not after now.
bool CheckManifestExpiry(const Manifest& manifest, UtcSeconds now,
                         const std::vector<ReleaseKeyBlob>& keys);

// This computer's clock.
UtcSeconds UtcNow();

}  // namespace zavex
