#pragma once

#include <string>

#include "formats/manifest.h"
#include "ops/release_server.h"
#include "platform/http_client.h"

namespace zavex {

// "?nocache=" and the current time in seconds since 1970 (UTC).
std::wstring NoCacheQuery();

// What FetchServerManifest logs and reports; each text is followed by the
// detail that it names.
struct ManifestFetchTexts {
  const char* failureLog;        // + the HTTP error
  const wchar_t* failureError;   // + the HTTP error
  const char* downloadedLog;     // + the body size and " bytes"
  const char* invalidLog;
};

// Gets the manifest at url, a manifest of server, checks its signature when
// server has release keys, parses it, and then checks its expiry. False, with
// error set, when it could not be received, or its signature, content or
// expiry is not valid ("Manifest inválido").
bool FetchServerManifest(HttpClient& http, const ReleaseServer& server, const std::wstring& url,
                         const ManifestFetchTexts& texts, Manifest& manifest,
                         std::wstring& error);

}  // namespace zavex
