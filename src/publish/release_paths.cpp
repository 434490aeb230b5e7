#include "publish/release_paths.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "formats/manifest.h"
#include "formats/placing_journal.h"
#include "formats/rollout.h"
#include "formats/signature_file.h"
#include "formats/windows_file_name.h"

namespace zavex {
namespace {

// Names of the installation folder's top level that belong to the updater
// (its folder of downloads under way, its placing journal, the installation's
// id and channel among them), and the release folder's folder of compressed
// copies and patches and its folder of channels.
constexpr const char* kUpdaterNames[] = {kManifestName,           kSignatureFileName,
                                         kPlacingJournalName,     "zavex_updater.log",
                                         kStagingFolderName,      "zavex_delta",
                                         kInstallationIdFileName, kChannelFileName,
                                         kChannelsFolderName};

// Leftover suffixes that every update deletes from the installation folder.
constexpr const char* kLeftoverSuffixes[] = {".old", ".tmp"};

constexpr const char* kDeviceNames[] = {"con", "prn", "aux", "nul"};
constexpr const char* kNumberedDeviceNames[] = {"com", "lpt"};

// Forbidden by Windows in file names, or misread in the download URL.
constexpr std::string_view kForbiddenCharacters = "<>:\"\\|?*%#";

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return lower;
}

std::size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Shortest-form UTF-8 without surrogates or values above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
  for (std::size_t index = 0; index < text.size();) {
    const auto lead = static_cast<unsigned char>(text[index]);
    const std::size_t length = SequenceLength(lead);
    if (length == 0 || index + length > text.size()) return false;
    for (std::size_t next = 1; next < length; ++next) {
      if ((static_cast<unsigned char>(text[index + next]) & 0xC0) != 0x80) return false;
    }
    if (length > 2) {
      const auto second = static_cast<unsigned char>(text[index + 1]);
      if (lead == 0xE0 && second < 0xA0) return false;  // overlong
      if (lead == 0xED && second > 0x9F) return false;  // surrogate
      if (lead == 0xF0 && second < 0x90) return false;  // overlong
      if (lead == 0xF4 && second > 0x8F) return false;  // above U+10FFFF
    }
    index += length;
  }
  return true;
}

// CON, NUL, COM1 ... also with an extension ("nul.txt").
bool IsDeviceName(std::string_view name) {
  const std::string stem = LowerAscii(name.substr(0, name.find('.')));
  for (const char* device : kDeviceNames) {
    if (stem == device) return true;
  }
  for (const char* device : kNumberedDeviceNames) {
    if (stem.size() == 4 && stem.compare(0, 3, device) == 0 && stem[3] >= '1' && stem[3] <= '9') {
      return true;
    }
  }
  return false;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::string SegmentRefusal(std::string_view name) {
  if (name.empty()) return "has an empty folder or file name";
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return "holds a control character";
    if (kForbiddenCharacters.find(c) != std::string_view::npos) {
      return std::string("holds the character ") + c +
             ", which Windows or the download address does not allow";
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    return "has a name ending in a dot or blank, which Windows drops";
  }
  if (IsDeviceName(name)) return "uses " + std::string(name) + ", a device name on Windows";
  return "";
}

// For a file or folder at the top.
std::string TopNameRefusal(std::string_view name) {
  const std::string lower = LowerAscii(name);
  for (const char* reserved : kUpdaterNames) {
    if (lower == reserved) return "is a name the updater keeps for itself";
  }
  return "";
}

std::string FileNameRefusal(std::string_view fileName) {
  const std::string lower = LowerAscii(fileName);
  for (const char* suffix : kLeftoverSuffixes) {
    if (lower.size() > std::strlen(suffix) && EndsWith(lower, suffix)) {
      return std::string("ends in ") + suffix +
             ", which the updater deletes as a leftover after each update";
    }
  }
  return "";
}

}  // namespace

std::string PathRefusal(const std::string& relativePath) {
  if (!IsValidUtf8(relativePath)) return "is not valid UTF-8";
  const std::string_view path(relativePath);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('/', start);
    const std::string_view name = path.substr(start, end - start);
    std::string refusal = SegmentRefusal(name);
    const bool isFileName = end == std::string_view::npos;
    if (refusal.empty() && start == 0) refusal = TopNameRefusal(name);
    if (refusal.empty() && isFileName) refusal = FileNameRefusal(name);
    if (!refusal.empty() || isFileName) return refusal;
    start = end + 1;
  }
}

bool FindCaseCollision(const std::vector<std::string>& paths,
                       std::pair<std::string, std::string>& collision) {
  struct FileHash {
    std::size_t operator()(std::string_view path) const { return FileNameHash(path); }
  };
  struct SameFile {
    bool operator()(std::string_view left, std::string_view right) const {
      return NameSameFile(left, right);
    }
  };
  std::unordered_map<std::string_view, const std::string*, FileHash, SameFile> byFile;
  for (const std::string& path : paths) {
    const auto inserted = byFile.emplace(path, &path);
    if (!inserted.second) {
      collision = {*inserted.first->second, path};
      return true;
    }
  }
  return false;
}

}  // namespace zavex
