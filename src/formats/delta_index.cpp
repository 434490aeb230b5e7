#include "formats/delta_index.h"

#include "formats/json_parser.h"
#include "formats/manifest.h"

namespace zavex {
namespace {

constexpr std::uint64_t kLargestArtifactSize = 4294967295u;

bool ReadHash(const JsonValue& entry, const std::string& key, std::string& hash) {
  const JsonValue* value = entry.Find(key);
  if (!value || value->Type() != JsonType::String || !IsHashText(value->AsString())) return false;
  hash = value->AsString();
  return true;
}

// The entry's "size": a whole number from 1 to largest.
bool ReadSize(const JsonValue& entry, std::uint64_t largest, std::uint64_t& size) {
  const JsonValue* value = entry.Find("size");
  if (!value || value->Type() != JsonType::Number) return false;
  const double number = value->AsNumber();
  if (!(number >= 1 && number <= static_cast<double>(largest)) ||
      number != static_cast<double>(static_cast<std::uint64_t>(number))) {
    return false;
  }
  size = static_cast<std::uint64_t>(number);
  return true;
}

const JsonArray* FindArray(const JsonValue& root, const std::string& key) {
  const JsonValue* value = root.Find(key);
  return value && value->Type() == JsonType::Array ? &value->AsArray() : nullptr;
}

// Reads each entry of list into artifacts under the name that nameOf gives
// it; false on a malformed or repeated entry.
template <typename NameOf>
bool ReadEntries(const JsonArray& list, NameOf nameOf, std::map<std::string, DeltaArtifact>& artifacts) {
  for (const JsonValue& entry : list) {
    std::string name;
    DeltaArtifact artifact;
    if (entry.Type() != JsonType::Object || !nameOf(entry, name) ||
        !ReadSize(entry, kLargestArtifactSize, artifact.size) || !ReadHash(entry, "sha256", artifact.hash) ||
        !artifacts.emplace(name, artifact).second) {
      return false;
    }
  }
  return true;
}

// A list of patches, named by nameOf(from, to).
bool ReadPatches(const JsonArray& list, std::string (*nameOf)(const std::string&, const std::string&),
                 std::map<std::string, DeltaArtifact>& patches) {
  return ReadEntries(
      list,
      [nameOf](const JsonValue& entry, std::string& name) {
        std::string from;
        std::string to;
        if (!ReadHash(entry, "from", from) || !ReadHash(entry, "to", to)) return false;
        name = nameOf(from, to);
        return true;
      },
      patches);
}

bool ReadIndex(const JsonValue& root, DeltaIndex& index) {
  const JsonArray* compressed = FindArray(root, "compressed");
  const JsonArray* patches = FindArray(root, "patches");
  const JsonArray* forwardPatches = FindArray(root, "forwardPatches");
  if (!compressed || !patches || (root.Find("forwardPatches") && !forwardPatches)) return false;
  const auto copyName = [](const JsonValue& entry, std::string& name) { return ReadHash(entry, "hash", name); };
  return ReadEntries(*compressed, copyName, index.compressed) && ReadPatches(*patches, PatchName, index.patches) &&
         (!forwardPatches || ReadPatches(*forwardPatches, ForwardPatchName, index.forwardPatches));
}

const DeltaArtifact* Find(const std::map<std::string, DeltaArtifact>& artifacts, const std::string& name) {
  const auto found = artifacts.find(name);
  return found == artifacts.end() ? nullptr : &found->second;
}

}  // namespace

std::string DeltaFolderPath(const std::string& name) { return std::string(kDeltaFolderName) + "/" + name; }

std::string DeltaIndexName(const std::string& hash) { return "index-" + hash + ".json"; }

std::string CompressedCopyName(const std::string& hash) { return hash + ".deflate"; }

std::string PatchName(const std::string& fromHash, const std::string& toHash) {
  return fromHash + "-" + toHash + ".patch";
}

std::string ForwardPatchName(const std::string& fromHash, const std::string& toHash) {
  return fromHash + "-" + toHash + ".forward.patch";
}

bool ReadDeltaIndexRef(const JsonValue& member, DeltaIndexRef& ref) {
  DeltaIndexRef read;
  if (member.Type() != JsonType::Object || !ReadHash(member, "hash", read.hash) ||
      !ReadSize(member, kMaxDeltaIndexBytes, read.size)) {
    return false;
  }
  ref = std::move(read);
  return true;
}

const DeltaArtifact* DeltaIndex::FindCompressed(const std::string& hash) const { return Find(compressed, hash); }

const DeltaArtifact* DeltaIndex::FindPatch(const std::string& fromHash, const std::string& toHash) const {
  return Find(patches, PatchName(fromHash, toHash));
}

const DeltaArtifact* DeltaIndex::FindForwardPatch(const std::string& fromHash, const std::string& toHash) const {
  return Find(forwardPatches, ForwardPatchName(fromHash, toHash));
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
