#include "formats/rollout.h"

#include <algorithm>

namespace zavex {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

bool IsChannelCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

bool IsValidChannelName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxChannelNameChars &&
         std::all_of(name.begin(), name.end(), IsChannelCharacter);
}

bool ParseInstallationId(const std::string& text, InstallationId& id) {
  constexpr std::size_t kDigits = 2 * kInstallationIdBytes;
  if (text.size() != kDigits && !(text.size() == kDigits + 1 && text.back() == '\n')) return false;
  InstallationId parsed{};
  for (std::size_t index = 0; index < kInstallationIdBytes; ++index) {
    const int high = HexValue(text[2 * index]);
    const int low = HexValue(text[2 * index + 1]);
    if (high < 0 || low < 0) return false;
    parsed[index] = static_cast<std::uint8_t>(high << 4 | low);
  }
  id = parsed;
  return true;
}

std::string InstallationIdText(const InstallationId& id) {
  std::string text;
  for (const std::uint8_t byte : id) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0x0F];
  }
  return text + "\n";
}

std::string RolloutHashInput(const InstallationId& id, std::int32_t versionCode) {
  std::string input(id.begin(), id.end());
  const auto code = static_cast<std::uint32_t>(versionCode);
  for (int shift = 0; shift < 32; shift += 8) input += static_cast<char>((code >> shift) & 0xFF);
  return input;
}

int RolloutBucket(const RolloutDigest& digest) {
  std::uint64_t number = 0;
  for (std::size_t index = 0; index < 8; ++index) number = number << 8 | digest[index];
  return static_cast<int>(number % kRolloutBuckets);
}

std::string BucketPercentText(int bucket) {
  const std::string hundredths = std::to_string(bucket % 100);
  return std::to_string(bucket / 100) + (hundredths.size() == 1 ? ".0" : ".") + hundredths;
}

RolloutDecision DecideRollout(const Manifest& release, std::int32_t installedCode, int bucket,
                              bool askedByPerson) {
  if (release.rollout == 0) return RolloutDecision::kHalted;
  if (installedCode < release.criticalBelow) return RolloutDecision::kCritical;
  if (bucket < release.rollout * (kRolloutBuckets / 100)) return RolloutDecision::kTake;
  return askedByPerson ? RolloutDecision::kAsked : RolloutDecision::kHeldBack;
}

}  // namespace zavex
