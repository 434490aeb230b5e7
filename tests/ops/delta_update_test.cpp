#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/invocation.h"
#include "base/text_conversion.h"
#include "formats/binary_patch.h"
#include "formats/deflate_encoder.h"
#include "formats/delta_index.h"
#include "formats/executable_patch.h"
#include "formats/manifest.h"
#include "ops/delta_files.h"
#include "ops/installer.h"
#include "ops/updater.h"
#include "ops/updater_run_fixture.h"
#include "platform/host_shell.h"

namespace zavex::test {
namespace {

// Text-like content, so that compressed copies are small: lines of a
// numbered table, of which every 97th names the version.
std::string TableText(int version, int lines = 6000) {
  std::string text;
  for (int line = 0; line < lines; ++line) {
    text += "entrada " + std::to_string(line) + " valor " + std::to_string(line * 7 % 1013) +
            (line % 97 == 0 ? " versao " + std::to_string(version) : "") + "\n";
  }
  return text;
}

std::string ServedPatch(const std::string& fromHash, const std::string& toHash) {
  return "/" + DeltaFolderPath(PatchName(fromHash, toHash));
}

std::string ServedForwardPatch(const std::string& fromHash, const std::string& toHash) {
  return "/" + DeltaFolderPath(ForwardPatchName(fromHash, toHash));
}

std::string ServedCopy(const std::string& hash) { return "/" + DeltaFolderPath(CompressedCopyName(hash)); }

std::string PatchEntry(const std::string& from, const std::string& to, uint64_t size, const std::string& sha256) {
  return "{\"from\": \"" + from + "\", \"to\": \"" + to + "\", \"size\": " + std::to_string(size) +
         ", \"sha256\": \"" + sha256 + "\"}";
}

// index with the patch from one hash to another in list listed with size and
// sha256.
std::string WithListedPatch(std::string index, const std::string& list, const std::string& from,
                            const std::string& to, uint64_t size, const std::string& sha256) {
  const size_t entry = index.find("{\"from\": \"" + from + "\", \"to\": \"" + to + "\"", index.find("\"" + list + "\""));
  return index.replace(entry, index.find('}', entry) + 1 - entry, PatchEntry(from, to, size, sha256));
}

// Where the index is served: named by its hash.
std::string IndexRoute(const std::string& index) { return "/" + DeltaFolderPath(DeltaIndexName(Sha256Hex(index))); }

// The header field of a patch at offset (formats/binary_patch.h).
uint64_t HeaderField(const std::string& patch, size_t offset) {
  uint64_t value = 0;
  for (size_t at = 0; at < 8; ++at) value |= uint64_t{static_cast<uint8_t>(patch[offset + at])} << (8 * at);
  return value;
}

void SetHeaderField(std::string& patch, size_t offset, uint64_t value) {
  for (size_t at = 0; at < 8; ++at) patch[offset + at] = static_cast<char>(value >> (8 * at));
}

constexpr size_t kNewSizeField = 13;
constexpr size_t kExtraDecodedField = 61;

// The patch of the crash found in review: its header names a new file, and
// an extra stream, of 2^64 - 1 bytes.
std::string LargestNewSizePatch(uint64_t oldSize) {
  PatchWriter writer(oldSize, 1, PatchFormat::kForward);
  writer.AddControl(0, 1, 0);
  writer.AddExtra(reinterpret_cast<const uint8_t*>("x"), 1);
  const std::vector<uint8_t> written = writer.Finish();
  std::string patch(written.begin(), written.end());
  SetHeaderField(patch, kNewSizeField, UINT64_MAX);
  SetHeaderField(patch, kExtraDecodedField, UINT64_MAX);
  return patch;
}

// A real PE file of tests/formats/pe_samples: the same program in two
// versions whose code moved.
std::string PeSample(int version) {
  return ReadTextFile(ZAVEX_TESTS_SOURCE_DIR_WIN L"\\formats\\pe_samples\\sample_32_v" + std::to_wstring(version) +
                      L".exe");
}

// Releases 1 to 5 published in turn through the publisher, which keeps
// patches from the last three; each changes the table, the application and
// the codec, a PE file whose forward patch is transformed.
class DeltaUpdateTest : public UpdaterRunTest {
 protected:
  void SetUp() override {
    UpdaterRunTest::SetUp();
    for (int version = 1; version <= 5; ++version) {
      const std::string name = std::to_string(version) + ".0.0";
      chain.push_back(Release{name, version,
                              {{"lib/codec.dll", PeSample(2 - version % 2)},
                               {"lib/core.dll", TableText(version)},
                               {"res/strings.txt", "textos"},
                               {"zavexphone.exe", ApplicationBytes("v" + std::to_string(version))}}});
      ASSERT_EQ(PublishThroughPublisher(chain.back(), temp / L"build", site), "");
      if (version == 4) olderIndex = ReadTextFile(site + L"\\zavex_delta\\index.json");
    }
    newer = chain.back();
  }

  // The installation of release k, the last release served with change
  // applied to what is served.
  void Prepare(int k, const std::function<void()>& change) {
    installed = chain[k - 1];
    Reinstall();
    RestartServer();
    ServeFolder(*server, site);
    if (change) change();
  }

  // Installs old as big.bin and publishes fresh with the patch of format
  // alone (the file itself is not served): the first copied bytes from old,
  // the rest as they are. The address of the patch and its bytes.
  std::pair<std::string, std::string> PublishPatchOnly(const std::string& old, const std::string& fresh,
                                                       size_t copied, PatchFormat format = PatchFormat::kSeeking) {
    std::vector<uint8_t> diff(copied);
    for (size_t at = 0; at < copied; ++at) diff[at] = static_cast<uint8_t>(fresh[at] - old[at]);
    PatchWriter writer(old.size(), fresh.size(), format);
    writer.AddControl(copied, fresh.size() - copied, 0);
    writer.AddDiff(diff.data(), diff.size());
    writer.AddExtra(reinterpret_cast<const uint8_t*>(fresh.data()) + copied, fresh.size() - copied);
    const std::vector<uint8_t> patch = writer.Finish();
    return PublishPatchOnly(old, fresh, std::string(patch.begin(), patch.end()), format);
  }

  // The same with the patch's bytes as given.
  std::pair<std::string, std::string> PublishPatchOnly(const std::string& old, const std::string& fresh,
                                                       const std::string& bytes, PatchFormat format) {
    const std::string fromHash = Sha256Hex(old);
    const std::string toHash = Sha256Hex(fresh);
    installed = Release{"1.0.0", 1, {{"big.bin", old}}};
    newer = Release{"2.0.0", 2, {{"big.bin", fresh}}};
    const bool forward = format == PatchFormat::kForward;
    newer.deltaIndex = std::string("{\"compressed\": [], \"patches\": [") + (forward ? "], \"forwardPatches\": [" : "") +
                       PatchEntry(fromHash, toHash, bytes.size(), Sha256Hex(bytes)) + "]}";
    Reinstall();
    RestartServer();
    ServeManifest(*server, newer.ManifestJson());
    server->SetRoute(IndexRoute(newer.deltaIndex), 200, newer.deltaIndex);
    const std::string address = forward ? ServedForwardPatch(fromHash, toHash) : ServedPatch(fromHash, toHash);
    server->SetRoute(address, 200, bytes);
    return {address, bytes};
  }

  std::string Hash(int k, const std::string& path) const { return Sha256Hex(chain[k - 1].Find(path)->content); }
  // The bytes of the release folder's file at the address path.
  std::string Served(const std::string& path) const {
    return ReadTextFile(site + L"\\" + Utf8ToWide(path.substr(1)));
  }
  Manifest SiteManifest() const { return ParseManifest(Served("/manifest.json")); }
  // The address of the index that the site's manifest names, and its bytes.
  std::string IndexAddress() const { return "/" + DeltaFolderPath(DeltaIndexName(SiteManifest().deltaIndex.hash)); }
  std::string ServedIndex() const { return Served(IndexAddress()); }

  // Serves index, and the site's manifest naming it, signed.
  void ServeIndex(const std::string& index) {
    Manifest manifest = SiteManifest();
    manifest.deltaIndex = {Sha256Hex(index), index.size()};
    server->SetRoute(IndexRoute(index), 200, index);
    ServeManifest(*server, SerializeManifest(manifest));
  }

  // Serves patch as the one from release 4's core.dll to release 5's, listed
  // in a signed index with its own size and hash.
  void ServeListedCorePatch(const std::string& patch) {
    server->SetRoute(ServedForwardPatch(Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll")), 200, patch);
    ServeIndex(WithListedPatch(ServedIndex(), "forwardPatches", Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll"),
                               patch.size(), Sha256Hex(patch)));
  }

  // Updates big.bin from old to fresh through a patch of format that copies
  // every byte, its peak working set below bound, run by the updater
  // without debug sections.
  void ExpectPatchUpdatePeakBelow(const std::string& old, const std::string& fresh, PatchFormat format,
                                  SIZE_T bound) {
    PublishPatchOnly(old, fresh, old.size(), format);
    ExpectPublishedUpdatePeakBelow(old, bound);
  }

  // The same for the patch published from old.
  void ExpectPublishedUpdatePeakBelow(const std::string& old, SIZE_T bound) {
    ASSERT_TRUE(CopyFileW((BuildDir() + L"\\stripped\\zavex_updater.exe").c_str(), updaterPath.c_str(), FALSE));
    ChildProcess updater;
    ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
    SIZE_T peak = 0;
    std::optional<DWORD> exitCode;
    for (const ULONGLONG deadline = GetTickCount64() + 120000; !exitCode && GetTickCount64() < deadline;) {
      PROCESS_MEMORY_COUNTERS memory = {};
      if (GetProcessMemoryInfo(updater.handle(), &memory, sizeof(memory))) {
        peak = std::max(peak, memory.PeakWorkingSetSize);
      }
      exitCode = updater.Wait(10);
    }
    EXPECT_EQ(exitCode, std::optional<DWORD>(0));
    EXPECT_GT(peak, 0u);
    EXPECT_LT(peak, bound);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
    EXPECT_EQ(RequestsUnder(*server, "/big.bin"), 0u);
    std::cout << "Peak working set of a patch update of " << (old.size() >> 10) << " KiB: " << (peak >> 10)
              << " KiB\n";
  }

  const std::wstring site = temp / L"site";
  std::vector<Release> chain;
  std::string olderIndex;  // what release 4 published
};

TEST_F(DeltaUpdateTest, EachFileTakesTheFirstWayThatGivesItsHash) {
  const std::string corePatch = ServedForwardPatch(Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll"));
  const std::string olderCorePatch = ServedPatch(Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll"));
  const std::string coreCopy = ServedCopy(Hash(5, "lib/core.dll"));
  const auto missingPatch = [&] { server->SetRoute(corePatch, 404, "Not Found"); };
  const std::string codecPatch = ServedForwardPatch(Hash(4, "lib/codec.dll"), Hash(5, "lib/codec.dll"));
  const std::string patchedCodec = "Patched lib/codec.dll from " + Hash(4, "lib/codec.dll").substr(0, 12) + ": ";
  ASSERT_EQ(Served(codecPatch)[kPatchHeaderSize], static_cast<char>(PatchTransform::kExecutable));
  const struct {
    const char* name;
    int installed;
    std::function<void()> change;
    std::vector<std::string> logged;
    std::vector<std::string> notRequested;
  } cases[] = {
      {"patch from the previous release", 4, nullptr,
       {"Patch applied as it arrived, size: " + std::to_string(TableText(5).size()),
        "Patched lib/core.dll from " + Hash(4, "lib/core.dll").substr(0, 12) + ": ",
        "Patched zavexphone.exe from " + Hash(4, "zavexphone.exe").substr(0, 12) + ": ", patchedCodec},
       {"/lib/core.dll", "/zavexphone.exe", "/lib/codec.dll", coreCopy, olderCorePatch,
        ServedPatch(Hash(4, "lib/codec.dll"), Hash(5, "lib/codec.dll"))}},
      // What was applied as it arrived is not what the index lists: applied again after.
      {"forward patch cut, then answered from byte 0", 4,
       [&] {
         // The cut is a reset, which drops what the client has not read: its
         // pieces come far enough apart for the first to be read under load.
         HttpRoute cut = SlowAnswer(Served(corePatch), 64, 300);
         cut.cutAfterBytes = 128;
         server->SetRoutes(corePatch, {cut, Answer(200, Served(corePatch))});
       },
       {"Patch applied, size: " + std::to_string(TableText(5).size()), "Patched lib/core.dll from "},
       {"/lib/core.dll", coreCopy}},
      // What updaters that read only the first patch format find in it.
      {"index without forward patches", 4,
       [&] {
         const std::string index = ServedIndex();
         ServeIndex(index.substr(0, index.find(",\n  \"forwardPatches\"")) + "\n}\n");
       },
       {"Patched lib/core.dll from " + Hash(4, "lib/core.dll").substr(0, 12) + ": ", patchedCodec},
       {"/lib/core.dll", coreCopy, corePatch, codecPatch, "/lib/codec.dll"}},
      {"patch answered 503 once", 4,
       [&] { server->SetRoutes(corePatch, {Answer(503, "busy"), Answer(200, Served(corePatch))}); },
       {"Retrying " + corePatch.substr(1) + " in ", "Patched lib/core.dll from "},
       {"/lib/core.dll", coreCopy}},
      {"patch missing", 4, missingPatch,
       {"The patch of lib/core.dll was not used (HTTP 404 via direct), taking its compressed copy",
        "Downloaded lib/core.dll compressed: "},
       {"/lib/core.dll"}},
      {"patch missing, compressed copy corrupt", 4,
       [&] {
         missingPatch();
         std::string copy = Served(coreCopy);
         copy[copy.size() / 2] ^= 0x55;
         server->SetRoute(coreCopy, 200, copy);
       },
       {"The compressed copy of lib/core.dll was not used (", "Downloaded lib/core.dll whole: "},
       {}},
      {"a cache serves another patch under its name", 4,
       [&] {
         std::string patch = Served(corePatch);
         patch[patch.size() / 2] ^= 0x55;
         server->SetRoute(corePatch, 200, patch);
       },
       {"The patch of lib/core.dll was not used (its bytes do not match the index's SHA-256), taking its "
        "compressed copy",
        "Downloaded lib/core.dll compressed: "},
       {"/lib/core.dll"}},
      {"a cache serves the older index under the new one's name", 4,
       [&] { server->SetRoute(IndexAddress(), 200, olderIndex); },
       {"The index of compressed copies and patches is not the one the manifest names (",
        "Downloaded lib/core.dll whole: "},
       {corePatch, coreCopy}},
      {"index lists the patch one byte short", 4,
       [&] {
         const std::string patch = Served(corePatch);
         ServeIndex(WithListedPatch(ServedIndex(), "forwardPatches", Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll"),
                                    patch.size() - 1, Sha256Hex(patch)));
       },
       {"The patch of lib/core.dll was not used (Content-Length ", "Downloaded lib/core.dll compressed: "},
       {"/lib/core.dll"}},
      {"index lists the forward patch at the file's size", 4,
       [&] {
         ServeIndex(WithListedPatch(ServedIndex(), "forwardPatches", Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll"),
                                    TableText(5).size(), Sha256Hex(Served(corePatch))));
       },
       {"Patched lib/core.dll from "},
       {corePatch, coreCopy, "/lib/core.dll"}},
      {"index lists both patches at the file's size", 4,
       [&] {
         std::string index = ServedIndex();
         for (const auto& [list, patch] : {std::pair("forwardPatches", corePatch), std::pair("patches", olderCorePatch)}) {
           index = WithListedPatch(index, list, Hash(4, "lib/core.dll"), Hash(5, "lib/core.dll"), TableText(5).size(),
                                   Sha256Hex(Served(patch)));
         }
         ServeIndex(index);
       },
       {"Downloaded lib/core.dll compressed: "},
       {corePatch, olderCorePatch, "/lib/core.dll"}},
      {"listed patch whose header names a new file of 2^64 - 1 bytes", 4,
       [&] { ServeListedCorePatch(LargestNewSizePatch(TableText(4).size())); },
       {"The patch of lib/core.dll was not used (it does not apply to the installed file), taking its compressed "
        "copy",
        "Downloaded lib/core.dll compressed: "},
       {"/lib/core.dll"}},
      {"listed patch whose header names a new file one byte longer", 4,
       [&] {
         std::string patch = Served(corePatch);
         SetHeaderField(patch, kNewSizeField, HeaderField(patch, kNewSizeField) + 1);
         SetHeaderField(patch, kExtraDecodedField, HeaderField(patch, kExtraDecodedField) + 1);
         ServeListedCorePatch(patch);
       },
       {"The patch of lib/core.dll was not used (it does not apply to the installed file), taking its compressed "
        "copy",
        "Downloaded lib/core.dll compressed: "},
       {"/lib/core.dll"}},
      {"malformed index", 4, [this] { ServeIndex("{\"compressed\": ["); },
       {"The index of compressed copies and patches is malformed: whole files",
        "Downloaded lib/core.dll whole: "},
       {corePatch, coreCopy}},
      {"manifest naming no index", 4,
       [this] {
         Manifest manifest = SiteManifest();
         manifest.deltaIndex = DeltaIndexRef();
         ServeManifest(*server, SerializeManifest(manifest));
       },
       {"The manifest names no index of compressed copies and patches: whole files",
        "Downloaded lib/core.dll whole: "},
       {corePatch, coreCopy, "/zavex_delta/index"}},
      {"installed file changed since its record", 4,
       [this] {
         std::string core = installed.Find("lib/core.dll")->content;
         core[100] ^= 1;
         ASSERT_TRUE(WriteTextFile(folder + L"\\lib\\core.dll", core));
       },
       {"The patch of lib/core.dll was not used (the result does not match the file's hash), taking its "
        "compressed copy",
        "Downloaded lib/core.dll compressed: "},
       {"/lib/core.dll"}},
      {"three releases old", 2, nullptr,
       {"Patched lib/core.dll from " + Hash(2, "lib/core.dll").substr(0, 12) + ": "},
       {"/lib/core.dll", coreCopy}},
      {"four releases old", 1, nullptr,
       {"Downloaded lib/core.dll compressed: ", "Downloaded zavexphone.exe compressed: "},
       {"/lib/core.dll", "/zavexphone.exe"}},
      // Last: the link outlives the run.
      {"the staging folder is a link", 4,
       [this] {
         CreateDirectoryW((temp / L"elsewhere").c_str(), nullptr);
         ASSERT_TRUE(test::CreateFolderLink(folder + L"\\zavex_staging", temp / L"elsewhere"));
       },
       {"The patch of lib/core.dll was not used (the staging folder is behind a link), taking its compressed "
        "copy",
        "Downloaded lib/core.dll whole: "},
       {corePatch, coreCopy}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(c.installed, c.change);
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
    const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
    for (const std::string& line : c.logged) EXPECT_NE(log.find(line), std::string::npos) << line;
    for (const std::string& path : c.notRequested) EXPECT_EQ(RequestsUnder(*server, path), 0u) << path;
    EXPECT_EQ(RequestsUnder(*server, "/res/strings.txt"), 0u);
    EXPECT_LE(RequestsUnder(*server, "/zavex_delta/index-"), 1u);
    EXPECT_EQ(RequestsUnder(*server, "/zavex_delta/index.json"), 0u);
    EXPECT_NE(log.find("Fetched "), std::string::npos);
  }
}

// Entries named as another entry's patch, compressed copy or note were named
// before: each file, whichever way it takes, ends as published.
TEST_F(DeltaUpdateTest, EntriesNamedLikeAnotherEntrysDownloadsEndAsPublished) {
  const auto release = [](int version) {
    return Release{std::to_string(version) + ".0.0", version,
                   {{"lib/x.dll", TableText(version, 50000)},
                    {"lib/x.dll.deflate", TableText(version + 1)},
                    {"lib/x.dll.part", TableText(version + 2)},
                    {"lib/x.dll.patch", TableText(version + 3)}}};
  };
  for (const int version : {6, 7}) {
    chain.push_back(release(version));
    ASSERT_EQ(PublishThroughPublisher(chain.back(), temp / L"build", site), "");
  }
  newer = chain.back();
  const std::string patch = ServedForwardPatch(Hash(6, "lib/x.dll"), Hash(7, "lib/x.dll"));
  const std::string copy = ServedCopy(Hash(7, "lib/x.dll"));
  const struct {
    const char* name;
    std::vector<std::string> missing;
    const char* logged;
  } cases[] = {
      {"patched", {}, "Patched lib/x.dll from "},
      {"compressed", {patch}, "Downloaded lib/x.dll compressed: "},
      {"whole, with a note", {patch, copy}, "Downloaded lib/x.dll whole: "},
  };
  ASSERT_GE(newer.files[0].content.size(), 1u << 20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(6, [&] {
      for (const std::string& path : c.missing) server->SetRoute(path, 404, "Not Found");
    });
    EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
    EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
    EXPECT_NE(ReadTextFile(folder + L"\\zavex_updater.log").find(c.logged), std::string::npos);
    EXPECT_FALSE(FileExists(folder + L"\\zavex_staging"));
  }
}

// A decode that finds the cancel set stops at its first look, before it
// has written a byte: a compressed copy and a patch, each of 16 MiB.
TEST(DeltaFiles, ACancelEndsDecodingAtItsFirstLook) {
  TempDir temp;
  const std::string zeros(16u << 20, '\0');
  const auto* bytes = reinterpret_cast<const uint8_t*>(zeros.data());
  const std::vector<uint8_t> copy = DeflateBuffer(bytes, zeros.size());
  PatchWriter writer(zeros.size(), zeros.size(), PatchFormat::kSeeking);
  writer.AddControl(zeros.size(), 0, 0);
  writer.AddDiff(bytes, zeros.size());
  const std::vector<uint8_t> patch = writer.Finish();
  ASSERT_TRUE(WriteTextFile(temp / L"copy", std::string(copy.begin(), copy.end())));
  ASSERT_TRUE(WriteTextFile(temp / L"patch", std::string(patch.begin(), patch.end())));
  ASSERT_TRUE(WriteTextFile(temp / L"old", zeros));
  const std::wstring output = temp / L"new";
  Sha256Hasher hasher;
  for (const bool cancelled : {false, true}) {
    TransferCancel cancel;
    if (cancelled) cancel.Cancel();
    const DecodedFile decoded{output, zeros.size(), hasher, cancel};
    for (const bool patched : {false, true}) {
      SCOPED_TRACE(std::string(cancelled ? "cancelled " : "") + (patched ? "patch" : "copy"));
      std::string reason;
      hasher.Begin();
      EXPECT_EQ(patched ? ApplyPatchFile(temp / L"patch", temp / L"old", decoded, reason)
                        : InflateCopyFile(temp / L"copy", decoded, reason),
                !cancelled);
      EXPECT_EQ(reason, cancelled ? "cancelled" : "");
      EXPECT_EQ(ReadTextFile(output).size(), cancelled ? 0u : zeros.size());
    }
  }
}

// The check's size and the progress count what the update will fetch.
TEST_F(DeltaUpdateTest, TheCheckAndTheProgressCountTheBytesToFetch) {
  uint64_t patches = 0;
  uint64_t wholeFiles = 0;
  for (const char* path : {"lib/codec.dll", "lib/core.dll", "zavexphone.exe"}) {
    patches += Served(ServedForwardPatch(Hash(4, path), Hash(5, path))).size();
    wholeFiles += chain[4].Find(path)->content.size();
  }
  for (const bool withIndex : {true, false}) {
    SCOPED_TRACE(withIndex ? "with the index" : "without it");
    Prepare(4, [this, withIndex] {
      if (!withIndex) server->SetRoute(IndexAddress(), 404, "Not Found");
    });
    Updater updater(folder, CompiledReleaseServer());
    std::wstring error;
    const UpdateInfo info = updater.CheckForUpdates(error);
    EXPECT_TRUE(info.updateAvailable) << WideToUtf8(error);
    EXPECT_EQ(info.downloadSize, withIndex ? patches : wholeFiles);
    ProgressRecorder recorder;
    updater.onProgress = recorder.Callback();
    EXPECT_TRUE(RunToCompletion(updater, &Updater::StartUpdate).success);
    ASSERT_FALSE(recorder.reports().empty());
    EXPECT_EQ(recorder.reports().back().bytesTotal, info.downloadSize);
    EXPECT_EQ(recorder.reports().back().bytesDone, info.downloadSize);
    EXPECT_EQ(RequestsUnder(*server, "/zavex_delta/index-"), 1u);
  }
}

// The install has nothing to patch: it takes the compressed copies that are
// smaller than their file.
TEST_F(DeltaUpdateTest, TheInstallTakesTheCompressedCopies) {
  RestartServer();
  ServeFolder(*server, site);
  const std::wstring target = temp / L"Nova";
  Installer installer(CompiledReleaseServer());
  installer.SetInstallPath(target);
  const OperationResult result = RunToCompletion(installer, &Installer::StartInstall);
  EXPECT_TRUE(result.success) << WideToUtf8(result.error);
  // Whether the running program could copy itself there is not this test's matter.
  std::vector<std::wstring> extras;
  if (FileExists(target + L"\\zavex_updater.exe")) extras.push_back(L"zavex_updater.exe");
  EXPECT_TRUE(HoldsExactly(target, newer, extras));
  EXPECT_EQ(RequestsUnder(*server, "/lib/core.dll"), 0u);
  EXPECT_EQ(RequestsUnder(*server, ServedCopy(Hash(5, "lib/core.dll"))), 1u);
  EXPECT_EQ(RequestsUnder(*server, "/res/strings.txt"), 1u);
  EXPECT_EQ(RequestsUnder(*server, IndexAddress()), 1u);
}

// The patch is applied as it is read, to a file larger than the bound, in
// either format.
TEST_F(DeltaUpdateTest, PatchingALargeFileKeepsThePeakWorkingSetBounded) {
  constexpr size_t kBytes = 96u << 20;
  const std::string old = GeneratedBytes(0, kBytes);
  std::string fresh = old;
  for (const size_t at : {size_t{0}, kBytes / 3, kBytes - 1}) fresh[at] = static_cast<char>(fresh[at] ^ 0x5a);
  for (const PatchFormat format : {PatchFormat::kSeeking, PatchFormat::kForward}) {
    SCOPED_TRACE(format == PatchFormat::kForward ? "forward" : "seeking");
    ExpectPatchUpdatePeakBelow(old, fresh, format, 34u << 20);
  }
  // A transformed patch is applied in memory, about twice the file's size
  // above a plain patch: the updater's own build as the file, with a byte of
  // its code changed.
  const std::string program = ReadTextFile(BuildDir() + L"\\stripped\\zavex_updater.exe");
  std::string changed = program;
  changed[program.size() / 3] = static_cast<char>(changed[program.size() / 3] ^ 0x5a);
  std::vector<uint8_t> patch;
  ASSERT_TRUE(CreateExecutablePatch(reinterpret_cast<const uint8_t*>(program.data()), program.size(),
                                    reinterpret_cast<const uint8_t*>(changed.data()), changed.size(), patch));
  PublishPatchOnly(program, changed, std::string(patch.begin(), patch.end()), PatchFormat::kForward);
  ExpectPublishedUpdatePeakBelow(program, 42u << 20);
}

// A run killed in the middle of a large forward patch leaves it for the
// next run, which asks only for the rest and applies it as it arrives.
TEST_F(DeltaUpdateTest, KilledRunsPartialPatchIsContinuedByTheNextRun) {
  constexpr size_t kMiB = 1 << 20;
  const std::string old = GeneratedBytes(0, 4 * kMiB);
  const std::string fresh = old.substr(0, kMiB) + GeneratedBytes(77, 3 * kMiB);
  const auto [address, patch] = PublishPatchOnly(old, fresh, kMiB, PatchFormat::kForward);
  HttpRoute slow = SlowAnswer(patch, 65536, 20);
  slow.servesRanges = true;
  server->SetRoute(address, slow);
  const std::wstring partial = folder + L"\\zavex_staging\\patch\\big.bin";
  ChildProcess updater;
  ASSERT_TRUE(updater.Start(updaterPath, L"--silent"));
  const ULONGLONG deadline = GetTickCount64() + 60000;
  while (ReadTextFile(partial).size() < patch.size() / 2 && GetTickCount64() < deadline) Sleep(20);
  updater.Kill();
  Sleep(200);  // until the server has seen the connection go
  const size_t kept = ReadTextFile(partial).size();
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, patch.size());

  HttpRoute ranged = SlowAnswer(patch, 65536, 0);
  ranged.servesRanges = true;
  server->SetRoute(address, ranged);
  const uint64_t sentBefore = server->BodyBytesSent(address);
  EXPECT_EQ(RunUpdater(L"--silent").exitCode, 0u);
  EXPECT_TRUE(HoldsExactly(folder, newer, Extras()));
  EXPECT_EQ(server->BodyBytesSent(address) - sentBefore, patch.size() - kept);
  const std::string log = ReadTextFile(folder + L"\\zavex_updater.log");
  EXPECT_NE(log.find("Continuing the partial download of " + address.substr(1) + " at byte " + std::to_string(kept)),
            std::string::npos);
  EXPECT_NE(log.find("Patch applied as it arrived"), std::string::npos);
}

}  // namespace
}  // namespace zavex::test
