#include "formats/manifest.h"

#include <string_view>

#include "formats/json_parser.h"
#include "formats/path_index.h"
#include "formats/rollout.h"
#include "formats/windows_file_name.h"

namespace zavex {
namespace {

const JsonValue* FindOfType(const JsonValue& object, const std::string& key, JsonType type) {
  const JsonValue* value = object.Find(key);
  return value && value->Type() == type ? value : nullptr;
}

std::string ReadString(const JsonValue& object, const std::string& key) {
  const JsonValue* value = FindOfType(object, key, JsonType::String);
  return value ? value->AsString() : std::string();
}

// Truncates toward zero. Out of range, like the processor's truncating
// conversion, it gives the minimum.
std::int32_t TruncateToInt32(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::int32_t ReadInt32(const JsonValue& object, const std::string& key) {
  const JsonValue* value = FindOfType(object, key, JsonType::Number);
  return value ? TruncateToInt32(value->AsNumber()) : 0;
}

// False when key is present but not a whole number from lowest to highest:
// a fraction is never rounded into the range.
bool ReadWholeNumber(const JsonValue& object, const std::string& key, std::int32_t lowest,
                     std::int32_t highest, std::int32_t& number) {
  const JsonValue* value = object.Find(key);
  if (!value) return true;
  if (value->Type() != JsonType::Number) return false;
  const double read = value->AsNumber();
  if (!(read >= lowest && read <= highest) || read != static_cast<std::int32_t>(read)) {
    return false;
  }
  number = static_cast<std::int32_t>(read);
  return true;
}

bool ReadBool(const JsonValue& object, const std::string& key, bool fallback) {
  const JsonValue* value = FindOfType(object, key, JsonType::Bool);
  return value ? value->AsBool() : fallback;
}

// Sizes from 2^31 to 2^32 - 1 are read exactly, so every size the writer
// stores reads back. Other values go through the signed 32-bit reading and
// wrap: -1 becomes 4294967295, the rest out of range 2147483648.
std::uint32_t ReadWrappedSize(const JsonValue& entry) {
  const JsonValue* value = FindOfType(entry, "size", JsonType::Number);
  if (!value) return 0;
  const double number = value->AsNumber();
  if (number >= 2147483648.0 && number < 4294967296.0) return static_cast<std::uint32_t>(number);
  return static_cast<std::uint32_t>(TruncateToInt32(number));
}

ManifestFile ReadFileEntry(const JsonValue& entry) {
  ManifestFile file;
  file.path = ReadString(entry, "path");
  file.hash = ReadString(entry, "hash");
  file.size = ReadWrappedSize(entry);
  file.required = ReadBool(entry, "required", true);
  return file;
}

std::vector<ManifestFile> ReadFiles(const JsonValue& root) {
  std::vector<ManifestFile> files;
  const JsonValue* list = FindOfType(root, "files", JsonType::Array);
  if (!list) return files;
  files.reserve(list->AsArray().size());
  for (const JsonValue& entry : list->AsArray()) {
    if (entry.Type() == JsonType::Object) files.push_back(ReadFileEntry(entry));
  }
  return files;
}

Manifest ReadManifest(const JsonValue& root) {
  Manifest manifest;
  if (root.Type() != JsonType::Object) return manifest;
  manifest.version = ReadString(root, "version");
  manifest.versionCode = ReadInt32(root, "versionCode");
  manifest.releaseDate = ReadString(root, "releaseDate");
  manifest.releaseNotes = ReadString(root, "releaseNotes");
  manifest.minVersion = ReadString(root, "minVersion");
  manifest.expires = ReadString(root, "expires");
  if (!ReadWholeNumber(root, "rollout", 0, 100, manifest.rollout) ||
      !ReadWholeNumber(root, "criticalBelow", 0, INT32_MAX, manifest.criticalBelow)) {
    return Manifest();
  }
  const JsonValue* deltaIndex = root.Find("deltaIndex");
  if (deltaIndex && !ReadDeltaIndexRef(*deltaIndex, manifest.deltaIndex)) return Manifest();
  manifest.files = ReadFiles(root);
  return manifest;
}

bool IsSeparator(char byte) { return byte == '\\' || byte == '/'; }

// The first name of path as Windows keeps it: empty and "." names dropped,
// and trailing dots and blanks.
std::string_view TopNameAsWindowsKeepsIt(std::string_view path) {
  while (true) {
    const std::size_t end = path.find_first_of("\\/");
    std::string_view name = path.substr(0, end);
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    if (!name.empty() || end == std::string_view::npos) return name;
    path.remove_prefix(end + 1);
  }
}

// The staging folder, or the installation's id or channel file.
bool IsReservedForUpdater(const std::string& path) {
  const std::string_view top = TopNameAsWindowsKeepsIt(path);
  return NameSameFile(top, kStagingFolderName) || NameSameFile(top, kInstallationIdFileName) ||
         NameSameFile(top, kChannelFileName);
}

// The two-character escape of byte, or null when it has none.
const char* ShortEscape(char byte) {
  switch (byte) {
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: return nullptr;
  }
}

// Control bytes without a short escape are written as "\u00XX".
bool NeedsCodeEscape(char byte) { return static_cast<unsigned char>(byte) < 0x20; }

std::size_t EscapedLength(const std::string& text) {
  std::size_t length = 0;
  for (const char byte : text) length += ShortEscape(byte) ? 2 : NeedsCodeEscape(byte) ? 6 : 1;
  return length;
}

void AppendEscaped(std::string& out, const std::string& text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  for (const char byte : text) {
    if (const char* escape = ShortEscape(byte)) {
      out += escape;
    } else if (NeedsCodeEscape(byte)) {
      out += "\\u00";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0x0F];
    } else {
      out += byte;
    }
  }
}

void AppendKey(std::string& out, std::size_t indent, const char* key) {
  out.append(indent, ' ');
  out += '"';
  out += key;
  out += "\": ";
}

void AppendStringMember(std::string& out, std::size_t indent, const char* key,
                        const std::string& value) {
  AppendKey(out, indent, key);
  out += '"';
  AppendEscaped(out, value);
  out += "\",\n";
}

void AppendRawMember(std::string& out, std::size_t indent, const char* key,
                     const std::string& value, const char* lineEnd) {
  AppendKey(out, indent, key);
  out += value;
  out += lineEnd;
}

// An upper bound of the stored form's length, so the text is allocated once:
// regrowing a text of many megabytes costs more than writing it.
std::size_t StoredLength(const Manifest& manifest) {
  constexpr std::size_t kFixedBytes = 260;
  constexpr std::size_t kFixedBytesPerFile = 100;
  std::size_t length = kFixedBytes + EscapedLength(manifest.version) +
                       EscapedLength(manifest.releaseDate) + EscapedLength(manifest.releaseNotes) +
                       EscapedLength(manifest.minVersion) + EscapedLength(manifest.expires) +
                       manifest.deltaIndex.hash.size();
  for (const ManifestFile& file : manifest.files) {
    length += kFixedBytesPerFile + EscapedLength(file.path) + EscapedLength(file.hash);
  }
  return length;
}

void AppendDeltaIndexRef(std::string& out, const DeltaIndexRef& ref) {
  AppendRawMember(out, 2, "deltaIndex",
                  "{\"hash\": \"" + ref.hash + "\", \"size\": " + std::to_string(ref.size) + "}", ",\n");
}

void AppendFileEntry(std::string& out, const ManifestFile& file, bool last) {
  out += "    {\n";
  AppendStringMember(out, 6, "path", file.path);
  AppendStringMember(out, 6, "hash", file.hash);
  AppendRawMember(out, 6, "size", std::to_string(file.size), ",\n");
  AppendRawMember(out, 6, "required", file.required ? "true" : "false", "\n");
  out += last ? "    }\n" : "    },\n";
}

}  // namespace

Manifest ParseManifest(const std::string& text) noexcept {
  try {
    JsonParser parser(text);
    return ReadManifest(parser.ParseValue());
  } catch (...) {
    // Every reader error, and running out of memory, discards what was read.
    return Manifest();
  }
}

bool StaysInsideInstallFolder(const std::string& path) {
  if (!path.empty() && IsSeparator(path.front())) return false;
  if (path.find(':') != std::string::npos || path.find('\0') != std::string::npos) return false;
  std::size_t segmentStart = 0;
  for (std::size_t index = 0; index <= path.size(); ++index) {
    if (index < path.size() && !IsSeparator(path[index])) continue;
    if (std::string_view(path).substr(segmentStart, index - segmentStart) == "..") return false;
    segmentStart = index + 1;
  }
  return true;
}

bool IsValid(const Manifest& manifest) {
  if (manifest.version.empty() || manifest.versionCode <= 0 || manifest.files.empty()) {
    return false;
  }
  for (const ManifestFile& file : manifest.files) {
    if (!StaysInsideInstallFolder(file.path) || IsReservedForUpdater(file.path)) return false;
  }
  return true;
}

std::vector<ManifestFile> GetFilesToUpdate(const Manifest& newer, const Manifest& installed) {
  std::vector<ManifestFile> changed;
  PathIndex(installed.files)
      .ForEachMatch(newer.files, [&changed](const ManifestFile& file, const ManifestFile* match) {
        if (!match || match->hash != file.hash) changed.push_back(file);
      });
  return changed;
}

std::vector<std::string> GetFilesToDelete(const Manifest& newer, const Manifest& installed) {
  std::vector<std::string> removed;
  PathIndex(newer.files)
      .ForEachMatch(installed.files, [&removed](const ManifestFile& file, const ManifestFile* match) {
        if (!match) removed.push_back(file.path);
      });
  return removed;
}

std::string SerializeManifest(const Manifest& manifest) {
  std::string out;
  out.reserve(StoredLength(manifest));
  out += "{\n";
  AppendStringMember(out, 2, "version", manifest.version);
  AppendRawMember(out, 2, "versionCode", std::to_string(manifest.versionCode), ",\n");
  AppendStringMember(out, 2, "releaseDate", manifest.releaseDate);
  AppendStringMember(out, 2, "releaseNotes", manifest.releaseNotes);
  AppendStringMember(out, 2, "minVersion", manifest.minVersion);
  if (manifest.rollout < 100) {
    AppendRawMember(out, 2, "rollout", std::to_string(manifest.rollout), ",\n");
  }
  if (manifest.criticalBelow > 0) {
    AppendRawMember(out, 2, "criticalBelow", std::to_string(manifest.criticalBelow), ",\n");
  }
  if (!manifest.expires.empty()) AppendStringMember(out, 2, "expires", manifest.expires);
  if (!manifest.deltaIndex.hash.empty()) AppendDeltaIndexRef(out, manifest.deltaIndex);
  out += "  \"files\": [\n";
  for (std::size_t index = 0; index < manifest.files.size(); ++index) {
    AppendFileEntry(out, manifest.files[index], index + 1 == manifest.files.size());
  }
  out += "  ]\n}\n";
  return out;
}

std::string EscapeJsonString(const std::string& text) {
  std::string out;
  out.reserve(EscapedLength(text));
  AppendEscaped(out, text);
  return out;
}

bool IsHashText(const std::string& text) {
  return text.size() == kHashDigits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool IsUpdaterPath(const std::string& path) { return NameSameFile(path, kUpdaterFileName); }

}  // namespace zavex
