#include "formats/base64.h"

namespace zavex {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotInAlphabet = -1;

int SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotInAlphabet;
}

std::size_t PaddingOf(std::string_view text) {
  if (text.size() >= 2 && text.substr(text.size() - 2) == "==") return 2;
  return !text.empty() && text.back() == '=' ? 1 : 0;
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t index = 0; index < bytes.size(); index += 3) {
    const std::size_t count = bytes.size() - index < 3 ? bytes.size() - index : 3;
    unsigned long group = 0;
    for (std::size_t byte = 0; byte < 3; ++byte) {
      group <<= 8;
      if (byte < count) group |= static_cast<unsigned char>(bytes[index + byte]);
    }
    for (std::size_t sextet = 0; sextet < 4; ++sextet) {
      text.push_back(sextet <= count ? kAlphabet[(group >> (18 - 6 * sextet)) & 0x3f] : '=');
    }
  }
  return text;
}

bool DecodeBase64(std::string_view text, std::string& bytes) {
  if (text.size() % 4 != 0) return false;
  const std::size_t padding = PaddingOf(text);
  const std::string_view digits = text.substr(0, text.size() - padding);
  std::string decoded;
  decoded.reserve(digits.size() * 3 / 4);
  unsigned long buffer = 0;
  int bufferedBits = 0;
  for (const char c : digits) {
    const int sextet = SextetOf(c);
    if (sextet == kNotInAlphabet) return false;
    buffer = (buffer << 6) | static_cast<unsigned long>(sextet);
    bufferedBits += 6;
    if (bufferedBits >= 8) {
      bufferedBits -= 8;
      decoded.push_back(static_cast<char>((buffer >> bufferedBits) & 0xff));
    }
  }
  if ((buffer & ((1ul << bufferedBits) - 1)) != 0) return false;
  bytes = std::move(decoded);
  return true;
}

}  // namespace zavex
