#include "formats/delta_index.h"

#include "formats/json_parser.h"

namespace zavex {
namespace {

constexpr std::size_t kHashDigits = 64;
constexpr double kLargestSize = 4294967295.0;

bool IsHash(const JsonValue* value) {
  if (!value || value->Type() != JsonType::String || value->AsString().size() != kHashDigits) return false;
  for (const char digit : value->AsString()) {
    if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) return false;
  }
  return true;
}

bool ReadSize(const JsonValue& entry, std::uint64_t& size) {
  const JsonValue* value = entry.Find("size");
  if (!value || value->Type() != JsonType::Number) return false;
  const double number = value->AsNumber();
  if (!(number >= 1 && number <= kLargestSize) || number != static_cast<double>(static_cast<std::uint64_t>(number))) {
    return false;
  }
  size = static_cast<std::uint64_t>(number);
  return true;
}

const JsonArray* FindArray(const JsonValue& root, const std::string& key) {
  const JsonValue* value = root.Find(key);
  return value && value->Type() == JsonType::Array ? &value->AsArray() : nullptr;
}

// Reads each entry of list into sizes under the name that nameOf gives it;
// false on a malformed or repeated entry.
template <typename NameOf>
bool ReadEntries(const JsonArray& list, NameOf nameOf, std::map<std::string, std::uint64_t>& sizes) {
  for (const JsonValue& entry : list) {
    std::string name;
    std::uint64_t size = 0;
    if (entry.Type() != JsonType::Object || !nameOf(entry, name) || !ReadSize(entry, size) ||
        !sizes.emplace(name, size).second) {
      return false;
    }
  }
  return true;
}

bool ReadIndex(const JsonValue& root, DeltaIndex& index) {
  const JsonArray* compressed = FindArray(root, "compressed");
  const JsonArray* patches = FindArray(root, "patches");
  if (!compressed || !patches) return false;
  const auto copyName = [](const JsonValue& entry, std::string& name) {
    if (!IsHash(entry.Find("hash"))) return false;
    name = entry.Find("hash")->AsString();
    return true;
  };
  const auto patchName = [](const JsonValue& entry, std::string& name) {
    if (!IsHash(entry.Find("from")) || !IsHash(entry.Find("to"))) return false;
    name = PatchName(entry.Find("from")->AsString(), entry.Find("to")->AsString());
    return true;
  };
  return ReadEntries(*compressed, copyName, index.compressedSizes) &&
         ReadEntries(*patches, patchName, index.patchSizes);
}

std::uint64_t SizeOf(const std::map<std::string, std::uint64_t>& sizes, const std::string& name) {
  const auto found = sizes.find(name);
  return found == sizes.end() ? 0 : found->second;
}

}  // namespace

std::string CompressedCopyName(const std::string& hash) { return hash + ".deflate"; }

std::string PatchName(const std::string& fromHash, const std::string& toHash) {
  return fromHash + "-" + toHash + ".patch";
}

std::uint64_t DeltaIndex::CompressedSize(const std::string& hash) const { return SizeOf(compressedSizes, hash); }

std::uint64_t DeltaIndex::PatchSize(const std::string& fromHash, const std::string& toHash) const {
  return SizeOf(patchSizes, PatchName(fromHash, toHash));
}

bool ParseDeltaIndex(const std::string& text, DeltaIndex& index) noexcept {
  index = DeltaIndex();
  if (text.size() > kMaxDeltaIndexBytes) return false;
  try {
    JsonParser parser(text);
    const JsonValue root = parser.ParseValue();
    DeltaIndex read;
    if (root.Type() != JsonType::Object || parser.SkipWhitespace() != text.size() || !ReadIndex(root, read)) {
      return false;
    }
    index = std::move(read);
    return true;
  } catch (...) {
    // Every reader error, and running out of memory, refuses the index.
    return false;
  }
}

}  // namespace zavex
