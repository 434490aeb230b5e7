#include "publish/delta_folder.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "formats/binary_diff.h"
#include "formats/deflate_decoder.h"
#include "formats/deflate_encoder.h"
#include "formats/executable_patch.h"
#include "publish/file_bytes.h"
#include "publish/release_paths.h"

namespace fs = std::filesystem;

namespace zavex {
namespace {

constexpr char kHistoryFolder[] = "history";
constexpr std::size_t kReadPiece = 65536;

// One run: the folders and what the kept manifests name.
class DeltaWriter {
 public:
  DeltaWriter(const fs::path& staging, const fs::path& previousRelease, const Manifest& manifest,
              const DeltaOptions& options, FileHasher& hasher, std::vector<std::string>& warnings)
      : staging_(staging),
        previousRelease_(previousRelease),
        folder_(staging / kDeltaFolderName),
        previousFolder_(previousRelease / kDeltaFolderName),
        manifest_(manifest),
        options_(options),
        hasher_(hasher),
        warnings_(warnings) {}

  bool Run(DeltaIndexRef& index, std::string& error) {
    std::error_code failure;
    fs::create_directories(folder_ / kHistoryFolder, failure);
    if (failure) {
      error = "cannot make " + std::string(kDeltaFolderName) + ": " + failure.message();
      return false;
    }
    LoadHistory();
    if (!WriteHistory(error) || !WriteCompressedCopies(error)) return false;
    for (const ManifestFile& file : manifest_.files) {
      if (!WritePatches(file, error)) return false;
    }
    return WriteIndex(index, error);
  }

 private:
  // The manifests of earlier releases, newest first: the release being
  // replaced and the history it kept.
  void LoadHistory() {
    std::vector<fs::path> files = {previousRelease_ / kManifestName};
    std::error_code failure;
    for (fs::directory_iterator walk(previousFolder_ / kHistoryFolder, failure), end; !failure && walk != end;
         walk.increment(failure)) {
      files.push_back(walk->path());
    }
    for (const fs::path& file : files) {
      std::string text;
      Manifest earlier = ParseManifest(ReadWholeFile(file, text) ? text : "");
      if (IsValid(earlier) && earlier.versionCode < manifest_.versionCode) history_.push_back(std::move(earlier));
    }
    std::sort(history_.begin(), history_.end(),
              [](const Manifest& a, const Manifest& b) { return a.versionCode > b.versionCode; });
    history_.erase(std::unique(history_.begin(), history_.end(),
                               [](const Manifest& a, const Manifest& b) { return a.versionCode == b.versionCode; }),
                   history_.end());
    if (history_.size() > static_cast<std::size_t>(options_.patchHistory)) history_.resize(options_.patchHistory);
  }

  bool WriteHistory(std::string& error) {
    for (const Manifest& earlier : history_) {
      const std::string text = SerializeManifest(earlier);
      const fs::path file = folder_ / kHistoryFolder / (std::to_string(earlier.versionCode) + ".json");
      if (!WriteWholeFile(file, text.data(), text.size())) {
        error = "cannot write " + file.u8string();
        return false;
      }
    }
    return true;
  }

  // A copy of every content the kept manifests name: from the previous
  // folder when it has one, else compressed from the staged file or, for
  // the release being replaced, from its published file.
  bool WriteCompressedCopies(std::string& error) {
    std::map<std::string, fs::path> sources;
    for (const ManifestFile& file : manifest_.files) sources.emplace(file.hash, staging_ / fs::u8path(file.path));
    for (std::size_t index = 0; index < history_.size(); ++index) {
      for (const ManifestFile& file : history_[index].files) {
        sources.emplace(file.hash, index == 0 ? previousRelease_ / fs::u8path(file.path) : fs::path());
        sizes_.emplace(file.hash, file.size);
      }
    }
    for (const ManifestFile& file : manifest_.files) sizes_[file.hash] = file.size;
    for (const auto& [hash, source] : sources) {
      if (ReusePrevious(CompressedCopyName(hash), error)) continue;
      if (!error.empty()) return false;
      std::error_code ignored;
      if (source.empty() || !fs::is_regular_file(source, ignored)) continue;
      if (!CompressFile(source, folder_ / CompressedCopyName(hash), error)) return false;
    }
    return true;
  }

  // True when the previous folder had name and it is now in folder_ too.
  bool ReusePrevious(const std::string& name, std::string& error) const {
    std::error_code failure;
    if (!fs::is_regular_file(previousFolder_ / name, failure)) return false;
    fs::copy_file(previousFolder_ / name, folder_ / name, failure);
    if (failure) error = "cannot copy " + name + ": " + failure.message();
    return !failure;
  }

  static bool CompressFile(const fs::path& source, const fs::path& target, std::string& error) {
    std::ifstream input(source, std::ios::binary);
    std::ofstream output(target, std::ios::binary);
    DeflateEncoder encoder([&output](const std::uint8_t* bytes, std::size_t size) {
      output.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
      return static_cast<bool>(output);
    });
    std::vector<char> piece(kReadPiece);
    bool written = static_cast<bool>(input);
    while (written && input.read(piece.data(), static_cast<std::streamsize>(piece.size())).gcount() > 0) {
      written = encoder.Write(reinterpret_cast<const std::uint8_t*>(piece.data()), static_cast<std::size_t>(input.gcount()));
    }
    written = written && input.eof() && encoder.Finish();
    output.close();
    if (written && output) return true;
    error = "cannot compress " + source.u8string() + " into " + target.u8string();
    return false;
  }

  // Patches to file from each other version of its path in the history.
  bool WritePatches(const ManifestFile& file, std::string& error) {
    std::set<std::string> earlierHashes;
    for (const Manifest& earlier : history_) {
      for (const ManifestFile& old : earlier.files) {
        if (old.path == file.path && old.hash != file.hash) earlierHashes.insert(old.hash);
      }
    }
    for (const std::string& from : earlierHashes) {
      if (!WritePatch(from, file, error)) return false;
    }
    return true;
  }

  // The patches from the content from to file in each format wanted, those
  // the previous folder has taken from it.
  bool WritePatch(const std::string& from, const ManifestFile& file, std::string& error) {
    std::vector<PatchFormat> formats;
    for (const PatchFormat format : {PatchFormat::kForward, PatchFormat::kSeeking}) {
      if (format == PatchFormat::kSeeking && !options_.seekingPatches) continue;
      if (!ReusePrevious(PatchFileName(from, file.hash, format), error)) formats.push_back(format);
      if (!error.empty()) return false;
    }
    std::error_code ignored;
    if (formats.empty() || !fs::is_regular_file(folder_ / CompressedCopyName(from), ignored)) return true;
    if (sizes_[from] + std::uint64_t{file.size} > options_.diffSizeLimit) {
      warnings_.push_back(file.path + " and its earlier version are together above " +
                          std::to_string(options_.diffSizeLimit) + " bytes, the limit of the diff: only its " +
                          "compressed copy is published");
      return true;
    }
    std::string compressedOld;
    std::vector<std::uint8_t> old;
    std::string newer;
    if (!ReadWholeFile(folder_ / CompressedCopyName(from), compressedOld) ||
        !InflateBuffer(reinterpret_cast<const std::uint8_t*>(compressedOld.data()), compressedOld.size(), sizes_[from],
                       old) ||
        !ReadWholeFile(staging_ / fs::u8path(file.path), newer)) {
      error = "cannot read the versions of " + file.path + " to diff";
      return false;
    }
    compressedOld.clear();
    const DiffProgress progress = [this, &file](std::uint64_t done) {
      if (options_.progress) options_.progress(file.path, done, file.size);
    };
    for (const PatchFormat format : formats) {
      const std::vector<std::uint8_t> patch =
          SmallerPatch(old, reinterpret_cast<const std::uint8_t*>(newer.data()), newer.size(), format, progress);
      // A patch is only worth its request when smaller than the compressed copy.
      if (patch.size() >= fs::file_size(folder_ / CompressedCopyName(file.hash), ignored)) continue;
      const std::string name = PatchFileName(from, file.hash, format);
      if (!WriteWholeFile(folder_ / name, patch.data(), patch.size())) {
        error = "cannot write " + name;
        return false;
      }
    }
    return true;
  }

  // The patch of format from old to newData; for a forward patch between PE
  // files that the transform takes, the transformed one when it is smaller.
  static std::vector<std::uint8_t> SmallerPatch(const std::vector<std::uint8_t>& old, const std::uint8_t* newData,
                                                std::size_t newSize, PatchFormat format, const DiffProgress& progress) {
    std::vector<std::uint8_t> patch = CreatePatch(old.data(), old.size(), newData, newSize, format, progress);
    std::vector<std::uint8_t> transformed;
    if (format == PatchFormat::kForward &&
        CreateExecutablePatch(old.data(), old.size(), newData, newSize, transformed) &&
        transformed.size() < patch.size()) {
      return transformed;
    }
    return patch;
  }

  static std::string PatchFileName(const std::string& from, const std::string& to, PatchFormat format) {
    return format == PatchFormat::kForward ? ForwardPatchName(from, to) : PatchName(from, to);
  }

  // Lists the patches, and the copies of this release's files that are
  // smaller than the file, in name order, under both names; the other
  // copies are only kept to diff against.
  bool WriteIndex(DeltaIndexRef& written, std::string& error) {
    std::map<std::string, std::uintmax_t> entries;
    std::error_code failure;
    for (fs::directory_iterator walk(folder_, failure), end; !failure && walk != end; walk.increment(failure)) {
      if (walk->is_regular_file()) entries[walk->path().filename().u8string()] = walk->file_size();
    }
    std::string compressed;
    std::string patches;
    std::string forwardPatches;
    for (const auto& [name, size] : entries) {
      const std::string hash = name.substr(0, kHashDigits);
      const std::string to = name.size() > kHashDigits ? name.substr(kHashDigits + 1, kHashDigits) : "";
      const std::string naming = "\"from\": \"" + hash + "\", \"to\": \"" + to + "\"";
      if (name == CompressedCopyName(hash) && size < sizes_[hash] && IsPublished(hash)) {
        if (!AppendEntry(compressed, "\"hash\": \"" + hash + "\"", name, size, error)) return false;
      } else if (name == PatchName(hash, to)) {
        if (!AppendEntry(patches, naming, name, size, error)) return false;
      } else if (name == ForwardPatchName(hash, to)) {
        if (!AppendEntry(forwardPatches, naming, name, size, error)) return false;
      }
    }
    const auto list = [](const char* key, const std::string& entries) {
      return std::string("  \"") + key + "\": [" + entries + (entries.empty() ? "" : "\n  ") + "]";
    };
    const std::string index = "{\n" + list("compressed", compressed) + ",\n" + list("patches", patches) + ",\n" +
                              list("forwardPatches", forwardPatches) + "\n}\n";
    if (failure || !WriteWholeFile(folder_ / kOlderUpdatersIndexName, index.data(), index.size())) {
      error = std::string("cannot write ") + kOlderUpdatersIndexName;
      return false;
    }
    written = {hasher_.HashFile(folder_ / kOlderUpdatersIndexName), index.size()};
    const std::string name = DeltaIndexName(written.hash);
    if (written.hash.size() == kHashDigits && WriteWholeFile(folder_ / name, index.data(), index.size())) return true;
    error = "cannot write " + name;
    return false;
  }

  // Appends to list the entry of the file name, which has size bytes, after
  // the members that name it.
  bool AppendEntry(std::string& list, const std::string& naming, const std::string& name, std::uintmax_t size,
                   std::string& error) {
    const std::string hash = hasher_.HashFile(folder_ / name);
    if (hash.size() != kHashDigits) {
      error = "cannot compute the SHA-256 of " + name;
      return false;
    }
    list += std::string(list.empty() ? "" : ",") + "\n    {" + naming + ", \"size\": " + std::to_string(size) +
            ", \"sha256\": \"" + hash + "\"}";
    return true;
  }

  bool IsPublished(const std::string& hash) const {
    return std::any_of(manifest_.files.begin(), manifest_.files.end(),
                       [&hash](const ManifestFile& file) { return file.hash == hash; });
  }

  fs::path staging_;
  fs::path previousRelease_;
  fs::path folder_;
  fs::path previousFolder_;
  const Manifest& manifest_;
  const DeltaOptions& options_;
  FileHasher& hasher_;
  std::vector<std::string>& warnings_;
  std::vector<Manifest> history_;
  std::map<std::string, std::uint64_t> sizes_;  // by hash
};

}  // namespace

bool WriteDeltaFolder(const fs::path& staging, const fs::path& previousRelease, const Manifest& manifest,
                      const DeltaOptions& options, FileHasher& hasher, DeltaIndexRef& index,
                      std::vector<std::string>& warnings, std::string& error) {
  DeltaWriter writer(staging, previousRelease, manifest, options, hasher, warnings);
  return writer.Run(index, error);
}

}  // namespace zavex
