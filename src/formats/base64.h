#pragma once

#include <string>
#include <string_view>

namespace zavex {

// Standard base64 (RFC 4648 section 4) with "=" padding.
std::string EncodeBase64(std::string_view bytes);

// Strict: only the standard alphabet, a length that is a multiple of 4,
// padding only at the end and unused bits zero, so each byte string has
// exactly one accepted text. False for anything else.
bool DecodeBase64(std::string_view text, std::string& bytes);

}  // namespace zavex
