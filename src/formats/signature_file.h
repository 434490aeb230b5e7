#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zavex {

// An ECDSA P-256 signature as r || s, each 32 bytes big-endian.
using ManifestSignature = std::array<std::uint8_t, 64>;

inline constexpr char kSignatureFileName[] = "manifest.json.sig";

// Reads the text of manifest.json.sig: the base64 of the 64 signature bytes
// on one line, optionally ended by one LF or CRLF. False for anything else.
bool ReadSignatureFile(std::string_view text, ManifestSignature& signature);

// The text of manifest.json.sig for signature, ended by one LF.
std::string WriteSignatureFile(const ManifestSignature& signature);

}  // namespace zavex
