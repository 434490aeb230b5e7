#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "formats/binary_diff.h"
#include "formats/binary_patch.h"
#include "formats/deflate_decoder.h"
#include "formats/executable_patch.h"
#include "formats/json_parser.h"
#include "formats/manifest.h"
#include "formats/sample_bytes.h"
#include "formats/signature_file.h"
#include "formats/utc_time.h"
#include "publish/executable_machine.h"
#include "publish/file_link.h"
#include "publish/key_files.h"
#include "publish/publisher.h"
#include "publish/signing_fixture.h"
#ifdef _WIN32
#include "platform/host_shell.h"
#endif

namespace fs = std::filesystem;

namespace zavex {
namespace {

// Known SHA-256 values.
constexpr char kAbc[] = "abc";
constexpr char kAbcHash[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kFox[] = "The quick brown fox jumps over the lazy dog";
constexpr char kFoxHash[] = "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592";
constexpr char kEmptyHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

using Tree = std::map<std::string, std::string>;

// The start of a PE image for machine: a DOS header pointing at the PE
// signature and file header right after it.
std::string PeImage(std::uint16_t machine) {
  std::string image(0x40, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  image += std::string("PE\0\0", 4);
  image += static_cast<char>(machine & 0xFF);
  image += static_cast<char>(machine >> 8);
  return image + std::string(18, '\0');
}

constexpr UtcSeconds kDay = 86400;

UtcSeconds Now() { return static_cast<UtcSeconds>(std::time(nullptr)); }

// An expiry text within [earliest, latest].
::testing::AssertionResult ExpiresBetween(const std::string& expires, UtcSeconds earliest,
                                          UtcSeconds latest) {
  UtcSeconds at = 0;
  if (!ParseUtcTimestamp(expires, at)) {
    return ::testing::AssertionFailure() << "\"" << expires << "\"";
  }
  if (at < earliest || at > latest) return ::testing::AssertionFailure() << expires;
  return ::testing::AssertionSuccess();
}

std::string ReadFile(const fs::path& file) {
  std::ifstream input(file, std::ios::binary);
  std::ostringstream content;
  content << input.rdbuf();
  return content.str();
}

// Relative path ("/" between folders) to content of every file below folder.
Tree ReadTree(const fs::path& folder) {
  Tree tree;
  std::error_code failure;
  for (fs::recursive_directory_iterator walk(folder, failure), end; !failure && walk != end;
       walk.increment(failure)) {
    if (walk->is_regular_file()) {
      tree[walk->path().lexically_relative(folder).generic_u8string()] = ReadFile(walk->path());
    }
  }
  return tree;
}

// The tree without the folder of compressed copies and patches.
Tree WithoutDelta(Tree tree) {
  for (auto entry = tree.begin(); entry != tree.end();) {
    entry = entry->first.rfind(std::string(kDeltaFolderName) + "/", 0) == 0 ? tree.erase(entry) : std::next(entry);
  }
  return tree;
}

std::set<std::string> EntryNames(const fs::path& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().u8string());
  }
  return names;
}

// A symbolic link at link to target. Wine can neither make one from the
// Windows side nor remove one to a folder, so there the host does both; Wine
// shows a link to a folder as a reparse point.
bool MakeLink(const fs::path& target, const fs::path& link) {
  fs::create_directories(link.parent_path());
#ifdef _WIN32
  return test::RunHostShell("ln -s " + test::ShellQuoted(test::HostPathOf(target.wstring())) +
                            " " + test::ShellQuoted(test::HostPathOf(link.wstring())));
#else
  std::error_code failure;
  fs::create_symlink(target, link, failure);
  return !failure;
#endif
}

bool RemoveLink(const fs::path& link) {
#ifdef _WIN32
  return test::RunHostShell("rm " + test::ShellQuoted(test::HostPathOf(link.wstring())));
#else
  return fs::remove(link);
#endif
}

// Fails for every file with this name and hashes the others for real.
class FailingHasher : public FileHasher {
 public:
  explicit FailingHasher(std::string name) : failingName(std::move(name)) {}
  std::string HashFile(const fs::path& file) override {
    return file.filename().u8string() == failingName ? "" : real->HashFile(file);
  }

 private:
  std::string failingName;
  std::unique_ptr<FileHasher> real = CreateSha256FileHasher();
};

class PublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    root = fs::temp_directory_path() / ("zavex_publish_test-" + std::to_string(random()));
    build = root / "build";
    site = root / "site";
    release = site / "zavex";
    fs::create_directories(site);
    fs::create_directories(build);
  }
  void TearDown() override { fs::remove_all(root); }

  void Write(const std::string& path, const std::string& content) {
    const fs::path file = build / fs::u8path(path);
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }

  PublishOptions Options(std::int32_t versionCode) const {
    PublishOptions options;
    options.buildFolder = build;
    options.releaseFolder = release;
    options.version = "1." + std::to_string(versionCode);
    options.versionCode = versionCode;
    options.releaseDate = "2024-05-01";
    return options;
  }

  bool Publish(const PublishOptions& options) {
    error.clear();
    return PublishRelease(options, *hasher, summary, error);
  }
  bool Publish(std::int32_t versionCode) { return Publish(Options(versionCode)); }

  // Refused with a reason starting as expected, and nothing below the site
  // folder changed.
  ::testing::AssertionResult Refused(const PublishOptions& options, const std::string& reason,
                                     FileHasher* withHasher = nullptr) {
    const Tree before = ReadTree(site);
    const std::set<std::string> entriesBefore = EntryNames(site);
    error.clear();
    if (PublishRelease(options, withHasher ? *withHasher : *hasher, summary, error)) {
      return ::testing::AssertionFailure() << "published";
    }
    if (error.find(reason) == std::string::npos) {
      return ::testing::AssertionFailure() << "error: " << error;
    }
    if (ReadTree(site) != before || EntryNames(site) != entriesBefore) {
      return ::testing::AssertionFailure() << "the site folder changed";
    }
    return ::testing::AssertionSuccess();
  }
  ::testing::AssertionResult Refused(std::int32_t versionCode, const std::string& reason) {
    return Refused(Options(versionCode), reason);
  }
  // Refused while the build holds one more file at path.
  ::testing::AssertionResult RefusedWithFile(const std::string& path, const std::string& reason) {
    Write(path, "x");
    ::testing::AssertionResult result = Refused(1, reason);
    fs::remove(build / fs::u8path(path));
    return result;
  }

  Manifest PublishedManifest() const { return ParseManifest(ReadFile(release / "manifest.json")); }

  static fs::path KeyFile(const std::string& name) {
    return fs::u8path(ZAVEX_TESTS_SOURCE_DIR) / "support/keys" / name;
  }

  // Re-signing refused with a reason holding the text, and nothing below
  // the site folder changed.
  ::testing::AssertionResult ReSignRefused(const PublishOptions& options,
                                           const std::string& reason) {
    const Tree before = ReadTree(site);
    error.clear();
    if (ReSignRelease(options, *hasher, summary, error)) return ::testing::AssertionFailure();
    if (error.find(reason) == std::string::npos) {
      return ::testing::AssertionFailure() << "error: " << error;
    }
    if (ReadTree(site) != before) return ::testing::AssertionFailure() << "the site changed";
    return ::testing::AssertionSuccess();
  }

  fs::path root;
  fs::path build;
  fs::path site;
  fs::path release;
  std::unique_ptr<FileHasher> hasher = CreateSha256FileHasher();
  PublishSummary summary;
  std::string error;
};

TEST_F(PublisherTest, CopiesEveryFileAndListsItInTheProgramsOwnLayout) {
  Write("zavexphone.exe", kAbc);
  Write("lib/codec.dll", kFox);
  Write("empty.dat", "");
  fs::create_directories(build / "unused" / "folder");
  PublishOptions options = Options(3);
  options.version = "1.0.0";
  options.releaseNotes = "Primeira vers\xC3\xA3o\n\"beta\"";
  options.minVersion = "0.9";
  ASSERT_TRUE(Publish(options)) << error;

  Manifest expected;
  expected.version = "1.0.0";
  expected.versionCode = 3;
  expected.releaseDate = "2024-05-01";
  expected.releaseNotes = options.releaseNotes;
  expected.minVersion = "0.9";
  expected.files = {{"empty.dat", kEmptyHash, 0, true},
                    {"lib/codec.dll", kFoxHash, 43, true},
                    {"zavexphone.exe", kAbcHash, 3, true}};
  // The manifest names the index by the SHA-256 and size of its bytes,
  // which older updaters read as index.json.
  const fs::path olderIndex = release / kDeltaFolderName / kOlderUpdatersIndexName;
  expected.deltaIndex = {hasher->HashFile(olderIndex), fs::file_size(olderIndex)};
  EXPECT_EQ(ReadFile(release / "manifest.json"), SerializeManifest(expected));
  EXPECT_TRUE(IsValid(PublishedManifest()));
  EXPECT_EQ(ReadFile(release / kDeltaFolderName / DeltaIndexName(expected.deltaIndex.hash)), ReadFile(olderIndex));

  Tree expectedTree = ReadTree(build);
  expectedTree["manifest.json"] = SerializeManifest(expected);
  EXPECT_EQ(WithoutDelta(ReadTree(release)), expectedTree);
  EXPECT_FALSE(fs::exists(release / "unused"));
  EXPECT_EQ(EntryNames(site), std::set<std::string>{"zavex"});
  EXPECT_EQ(summary.fileCount, 3u);
  EXPECT_EQ(summary.totalBytes, 46u);
  EXPECT_EQ(summary.previousVersionCode, 0);
  EXPECT_TRUE(summary.warnings.empty());
}

TEST_F(PublisherTest, FilesMatchingAnOptionalPatternAreNotRequired) {
  for (const char* path : {"app.exe", "app.pdb", "lib/codec.dll", "lib/codec.pdb",
                           "plugins/a/x.dll", "plugins/b.dll"}) {
    Write(path, path);
  }
  PublishOptions options = Options(1);
  options.optionalPatterns = {"*.pdb", "plugins/**", "nothing/*"};
  ASSERT_TRUE(Publish(options)) << error;

  std::map<std::string, bool> required;
  for (const ManifestFile& file : PublishedManifest().files) required[file.path] = file.required;
  const std::map<std::string, bool> expected = {
      {"app.exe", true},          {"app.pdb", false},         {"lib/codec.dll", true},
      {"lib/codec.pdb", false},   {"plugins/a/x.dll", false}, {"plugins/b.dll", false}};
  EXPECT_EQ(required, expected);
  EXPECT_EQ(summary.warnings, std::vector<std::string>{"--optional=nothing/* matches no file"});
}

TEST_F(PublisherTest, AHigherVersionCodeReplacesTheWholeRelease) {
  Write("app.exe", "one");
  Write("old/gone.txt", "gone");
  ASSERT_TRUE(Publish(1)) << error;

  fs::remove_all(build / "old");
  Write("app.exe", "two");
  Write("new/added.txt", "added");
  PublishOptions options = Options(2);
  options.releaseFolder = release / "";  // a trailing separator names the same folder
  ASSERT_TRUE(Publish(options)) << error;
  EXPECT_EQ(summary.previousVersionCode, 1);
  Tree expected = ReadTree(build);
  expected["manifest.json"] = ReadFile(release / "manifest.json");
  EXPECT_EQ(WithoutDelta(ReadTree(release)), expected);
  EXPECT_EQ(PublishedManifest().versionCode, 2);
  EXPECT_EQ(EntryNames(site), std::set<std::string>{"zavex"});

  Write("app.exe", "three");
  EXPECT_TRUE(Refused(2, "version code 2 is not above 2, the one published in"));
  EXPECT_TRUE(Refused(1, "version code 1 is not above 2"));
}

TEST_F(PublisherTest, AnUpdaterIsPublishedOnlyAsAnExecutableForItsMachine) {
  Write("app.exe", "app");
  const struct {
    const char* name;
    std::string bytes;
    bool x64Updater;
    std::string reason;  // empty: published
  } cases[] = {
      {"text", "not an executable", false, "is not a Windows executable: it does not start with"},
      {"empty", "", false, "is not a Windows executable: it does not start with"},
      {"DOS header alone", PeImage(kMachineI386).substr(0, 0x40), false,
       "is not a Windows executable: it has no PE header where its DOS header points"},
      {"x86-64", PeImage(kMachineAmd64), false,
       "the file zavex_updater.exe is a Windows executable for x86-64 (AMD64, 0x8664); "
       "it must be one for x86 (i386, 0x14c)"},
      {"ARM64", PeImage(0xAA64), false, "is a Windows executable for ARM64 (0xaa64)"},
      {"x86 with --x64-updater", PeImage(kMachineI386), true,
       "is a Windows executable for x86 (i386, 0x14c); it must be one for x86-64"},
      {"x86", PeImage(kMachineI386), false, ""},
      {"x86-64 with --x64-updater", PeImage(kMachineAmd64), true, ""},
  };
  std::int32_t versionCode = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write("zavex_updater.exe", c.bytes);
    PublishOptions options = Options(versionCode);
    options.x64Updater = c.x64Updater;
    if (!c.reason.empty()) {
      EXPECT_TRUE(Refused(options, c.reason));
      continue;
    }
    ASSERT_TRUE(Publish(options)) << error;
    ++versionCode;
    EXPECT_EQ(ReadFile(release / "zavex_updater.exe"), c.bytes);
    EXPECT_EQ(PublishedManifest().files.at(1).path, "zavex_updater.exe");
  }
}

TEST_F(PublisherTest, RefusesBuildsTheUpdaterCouldNotInstall) {
  fs::create_directories(build / "only" / "folders");
  EXPECT_TRUE(Refused(1, "holds no files"));
  PublishOptions missing = Options(1);
  missing.buildFolder = root / "missing";
  EXPECT_TRUE(Refused(missing, "does not exist or is not a folder"));

  Write("app.exe", "app");
  EXPECT_TRUE(RefusedWithFile("cache/data.tmp", "the file cache/data.tmp ends in .tmp"));
  EXPECT_TRUE(RefusedWithFile("manifest.json", "the file manifest.json is a name the updater"));

  // Refused on its size alone, before anything is read or copied.
  Write("huge.bin", "");
  fs::resize_file(build / "huge.bin", 4294967296ull);
  EXPECT_TRUE(Refused(1, "the file huge.bin has 4294967296 bytes"));
  fs::remove(build / "huge.bin");
  ASSERT_TRUE(Publish(1)) << error;
}

#ifndef _WIN32
// Names that only a Linux build folder can hold.
TEST_F(PublisherTest, RefusesLinuxNamesThatWindowsCannotHold) {
  Write("app.exe", "app");
  EXPECT_TRUE(RefusedWithFile("a:b.dll", "the file a:b.dll holds the character :"));
  EXPECT_TRUE(RefusedWithFile("lib\\x.dll", "the file lib\\x.dll holds the character \\"));
  Write("Readme.txt", "1");
  EXPECT_TRUE(RefusedWithFile("README.txt", "differ only in letter case"));

}
#endif

TEST_F(PublisherTest, RefusesLinksToFoldersAndFiles) {
  Write("app.exe", "app");
  fs::create_directories(root / "elsewhere");
  std::ofstream(root / "elsewhere" / "key.pem") << "secret";
  ASSERT_TRUE(MakeLink(root / "elsewhere", build / "linked"));
  EXPECT_TRUE(Refused(1, "linked is a link to a folder"));
  ASSERT_TRUE(RemoveLink(build / "linked"));

#ifndef _WIN32
  // Wine 8 shows a host's link to a file as a plain file, so only here.
  ASSERT_TRUE(MakeLink(root / "elsewhere" / "key.pem", build / "lib" / "key.pem"));
  EXPECT_TRUE(Refused(1, "lib/key.pem is a link to a file"));
  ASSERT_TRUE(RemoveLink(build / "lib" / "key.pem"));
#endif
  ASSERT_TRUE(Publish(1)) << error;
}

// A file swapped for a link after the scan: the copy opens the file itself.
TEST_F(PublisherTest, CopyOfASourceThatBecameALinkIsRefused) {
  Write("app.exe", "app");
  fs::create_directories(root / "elsewhere");
  std::ofstream(root / "elsewhere" / "key.pem") << "secret";
  bool becameLink = true;
  EXPECT_TRUE(CopyWithoutFollowingLinks(build / "app.exe", root / "copy.exe", becameLink));
  EXPECT_FALSE(becameLink);
  EXPECT_EQ(ReadFile(root / "copy.exe"), "app");
  // Never over a file that exists.
  EXPECT_FALSE(CopyWithoutFollowingLinks(build / "app.exe", root / "copy.exe", becameLink));

  ASSERT_TRUE(MakeLink(root / "elsewhere", build / "linked"));
  EXPECT_FALSE(CopyWithoutFollowingLinks(build / "linked", root / "linked-copy", becameLink));
  EXPECT_FALSE(fs::exists(root / "linked-copy"));
  ASSERT_TRUE(RemoveLink(build / "linked"));
#ifndef _WIN32
  // Wine 8 shows a host's link to a file as a plain file and opens what it
  // leads to, so only here.
  ASSERT_TRUE(MakeLink(root / "elsewhere" / "key.pem", build / "key.pem"));
  EXPECT_FALSE(CopyWithoutFollowingLinks(build / "key.pem", root / "key-copy", becameLink));
  EXPECT_TRUE(becameLink);
  EXPECT_FALSE(fs::exists(root / "key-copy"));
#endif
}

TEST_F(PublisherTest, RefusesReleaseFoldersItMustNotReplace) {
  Write("app.exe", "app");
  PublishOptions options = Options(1);
  options.version = "";
  EXPECT_TRUE(Refused(options, "the version must not be empty"));
  options = Options(1);
  options.versionCode = 0;
  EXPECT_TRUE(Refused(options, "the version code must be 1 or more"));

  options = Options(1);
  options.releaseFolder = root / "missing" / "zavex";
  EXPECT_TRUE(Refused(options, "that would hold the release folder does not exist"));
  options.releaseFolder = build;
  EXPECT_TRUE(Refused(options, "must not be the build folder"));
  options.releaseFolder = build / "release";
  EXPECT_TRUE(Refused(options, "must not lie inside the build folder"));
  options.releaseFolder = root;
  EXPECT_TRUE(Refused(options, "the build folder must not lie inside the release folder"));

  fs::create_directories(release);
  std::ofstream(release / "index.html") << "<html></html>";
  EXPECT_TRUE(Refused(1, "holds files but no manifest.json"));
  std::ofstream(release / "manifest.json") << "{\"version\": \"1\", \"versionCode\": 1";
  EXPECT_TRUE(Refused(1, "is not a valid manifest"));
}

TEST_F(PublisherTest, AFailureWhileCopyingLeavesThePublishedReleaseAndNothingElse) {
  Write("app.exe", "one");
  ASSERT_TRUE(Publish(1)) << error;
  Write("app.exe", "two");
  Write("lib/codec.dll", kFox);
  FailingHasher failing("codec.dll");
  EXPECT_TRUE(Refused(Options(2), "cannot compute the SHA-256 of lib/codec.dll", &failing));
  EXPECT_EQ(ReadFile(release / "app.exe"), "one");
  EXPECT_EQ(EntryNames(site), std::set<std::string>{"zavex"});
}

TEST_F(PublisherTest, ASigningKeyAddsTheSignatureOfTheManifestAsServed) {
  Write("app.exe", "one");
  PublishOptions options = Options(1);
  options.signingKeyFile = fs::u8path(ZAVEX_TESTS_SOURCE_DIR) / "support/keys/second.pem";
  const UtcSeconds before = Now();
  ASSERT_TRUE(Publish(options)) << error;
  EXPECT_TRUE(ExpiresBetween(PublishedManifest().expires, before + 90 * kDay, Now() + 90 * kDay));
  EXPECT_EQ(summary.expires, PublishedManifest().expires);
  EXPECT_EQ(EntryNames(release), (std::set<std::string>{"app.exe", "manifest.json",
                                                         "manifest.json.sig", kDeltaFolderName}));
  const std::string text = ReadFile(release / kSignatureFileName);
  ManifestSignature signature;
  ASSERT_TRUE(ReadSignatureFile(text, signature));
  EXPECT_EQ(text, WriteSignatureFile(signature));
  SigningKey key;
  ASSERT_TRUE(ReadPrivateKeyPem(test::ReadTestData("support/keys/second.pem"), key));
  EXPECT_TRUE(test::SignatureVerifies(key.publicPoint, ReadFile(release / "manifest.json"),
                                      signature));

  // The next release without a key takes the old signature down with it.
  ASSERT_TRUE(Publish(2)) << error;
  EXPECT_EQ(EntryNames(release), (std::set<std::string>{"app.exe", "manifest.json", kDeltaFolderName}));
  EXPECT_EQ(PublishedManifest().expires, "");
  EXPECT_EQ(summary.expires, "");
}

TEST_F(PublisherTest, ReSigningKeepsEveryFileAndFieldAndSignsANewExpiry) {
  Write("app.exe", kAbc);
  Write("lib/codec.dll", kFox);
  PublishOptions options = Options(4);
  options.signingKeyFile = KeyFile("first.pem");
  options.expiresInDays = 1;
  ASSERT_TRUE(Publish(options)) << error;
  const Tree published = ReadTree(release);
  Manifest before = PublishedManifest();

  PublishOptions reSign;
  reSign.releaseFolder = release;
  reSign.signingKeyFile = KeyFile("second.pem");
  reSign.expiresInDays = 30;
  const UtcSeconds start = Now();
  ASSERT_TRUE(ReSignRelease(reSign, *hasher, summary, error)) << error;
  Manifest after = PublishedManifest();
  EXPECT_TRUE(ExpiresBetween(after.expires, start + 30 * kDay, Now() + 30 * kDay));
  EXPECT_EQ(summary.expires, after.expires);
  EXPECT_EQ(summary.fileCount, 2u);
  EXPECT_EQ(summary.previousVersionCode, 4);
  before.expires = after.expires;
  EXPECT_EQ(ReadFile(release / "manifest.json"), SerializeManifest(before));
  Tree expected = published;
  expected["manifest.json"] = ReadFile(release / "manifest.json");
  expected[kSignatureFileName] = ReadFile(release / kSignatureFileName);
  EXPECT_EQ(ReadTree(release), expected);
  ManifestSignature signature;
  ASSERT_TRUE(ReadSignatureFile(expected[kSignatureFileName], signature));
  SigningKey key;
  ASSERT_TRUE(ReadPrivateKeyPem(test::ReadTestData("support/keys/second.pem"), key));
  EXPECT_TRUE(test::SignatureVerifies(key.publicPoint, expected["manifest.json"], signature));
  EXPECT_EQ(EntryNames(site), std::set<std::string>{"zavex"});
}

TEST_F(PublisherTest, ReSigningRefusesAReleaseWhoseFilesChangedOrThatIsNone) {
  Write("app.exe", "one");
  ASSERT_TRUE(Publish(1)) << error;
  std::ofstream(release / "app.exe", std::ios::binary) << "two";
  PublishOptions reSign;
  reSign.releaseFolder = release;
  reSign.signingKeyFile = KeyFile("first.pem");
  EXPECT_TRUE(ReSignRefused(reSign, "the published file app.exe no longer matches"));
  reSign.releaseFolder = root / "build";
  EXPECT_TRUE(ReSignRefused(reSign, "holds files but no manifest.json"));
  reSign.releaseFolder = release;
  reSign.signingKeyFile.clear();
  EXPECT_TRUE(ReSignRefused(reSign, "re-signing needs a signing key"));
}

// The rollout changes only the manifest's "rollout" line and its signature.
TEST_F(PublisherTest, SetRolloutAndHaltLeaveEveryPublishedFileByteAlone) {
  Write("app.exe", kAbc);
  Write("lib/codec.dll", kFox);
  ASSERT_TRUE(Publish(4)) << error;
  Write("lib/codec.dll", kAbc);
  PublishOptions options = Options(5);
  options.signingKeyFile = KeyFile("first.pem");
  options.rollout = 5;
  options.criticalBelow = 3;
  ASSERT_TRUE(Publish(options)) << error;
  Manifest published = PublishedManifest();
  EXPECT_EQ(published.rollout, 5);
  EXPECT_EQ(published.criticalBelow, 3);
  const Tree before = ReadTree(release);

  for (const std::int32_t rollout : {25, 0, 100}) {
    PublishOptions setRollout;
    setRollout.releaseFolder = release;
    setRollout.signingKeyFile = KeyFile("first.pem");
    setRollout.rollout = rollout;
    ASSERT_TRUE(ReSignRelease(setRollout, *hasher, summary, error)) << error;
    Manifest after = PublishedManifest();
    EXPECT_EQ(after.rollout, rollout);
    published.rollout = rollout;
    published.expires = after.expires;
    EXPECT_EQ(ReadFile(release / "manifest.json"), SerializeManifest(published));
    Tree files = ReadTree(release);
    Tree expected = before;
    expected["manifest.json"] = files["manifest.json"];
    expected[kSignatureFileName] = files[kSignatureFileName];
    EXPECT_EQ(files, expected) << rollout;
  }
}

// A channel's release lies in channels/NAME; the default release that
// replaces the folder keeps them.
TEST_F(PublisherTest, ChannelsArePublishedBelowTheReleaseFolderAndKeptByTheDefaultRelease) {
  Write("app.exe", kAbc);
  PublishOptions beta = Options(7);
  beta.channel = "beta";
  beta.releaseFolder = release / "channels" / "beta";
  fs::remove_all(release);
  fs::create_directories(release);
  ASSERT_TRUE(Publish(beta)) << error;
  ASSERT_TRUE(Publish(2)) << error;  // the default channel, into a folder that holds only channels
  const Tree betaRelease = ReadTree(release / "channels" / "beta");
  EXPECT_EQ(ParseManifest(betaRelease.at("manifest.json")).versionCode, 7);
  ASSERT_TRUE(Publish(3)) << error;
  EXPECT_EQ(PublishedManifest().versionCode, 3);
  EXPECT_EQ(ReadTree(release / "channels" / "beta"), betaRelease);
  Write("channels/x.dll", "x");
  EXPECT_TRUE(Refused(4, "channels/x.dll"));
}

TEST_F(PublisherTest, ARefusedReleaseWritesNoSignature) {
  Write("app.exe", "one");
  ASSERT_TRUE(Publish(2)) << error;
  PublishOptions options = Options(1);
  options.signingKeyFile = fs::u8path(ZAVEX_TESTS_SOURCE_DIR) / "support/keys/first.pem";
  EXPECT_TRUE(Refused(options, "version code 1 is not above 2"));
  options = Options(3);
  options.signingKeyFile = fs::u8path(ZAVEX_TESTS_SOURCE_DIR) / "support/keys/first.pub.pem";
  EXPECT_TRUE(Refused(options, "is not an ECDSA P-256 private key in PEM PKCS#8"));
  options.signingKeyFile = root / "missing.pem";
  EXPECT_TRUE(Refused(options, "cannot read the signing key"));
  EXPECT_FALSE(fs::exists(release / kSignatureFileName));
}

// What the folder of compressed copies and patches says and holds.
class DeltaFolderTest : public PublisherTest {
 protected:
  // app.exe in a release: the same program rebuilt with a few changes each time.
  static std::string Program(int version) {
    Bytes program = WordBytes(150000, 7);
    for (int step = 2; step <= version; ++step) program = EditedBytes(program, 100, step);
    return std::string(program.begin(), program.end());
  }

  // Publishes the build and remembers every published content by its hash.
  bool PublishRemembering(const PublishOptions& options) {
    if (!Publish(options)) return false;
    for (const ManifestFile& file : PublishedManifest().files) contents[file.hash] = ReadFile(release / file.path);
    return true;
  }

  // The lists of the index that the manifest names, as hash (or "from-to")
  // to size and SHA-256.
  std::map<std::string, DeltaArtifact> IndexList(const std::string& list) const {
    const std::string text = ReadFile(delta() / DeltaIndexName(PublishedManifest().deltaIndex.hash));
    EXPECT_EQ(text, ReadFile(delta() / kOlderUpdatersIndexName));
    const JsonValue index = JsonParser(text).ParseValue();
    std::map<std::string, DeltaArtifact> entries;
    for (const JsonValue& entry : index.Find(list)->AsArray()) {
      const std::string name = list != "compressed"
                                   ? entry.Find("from")->AsString() + "-" + entry.Find("to")->AsString()
                                   : entry.Find("hash")->AsString();
      entries[name] = {static_cast<std::uint64_t>(entry.Find("size")->AsNumber()), entry.Find("sha256")->AsString()};
    }
    return entries;
  }

  // Every patch listed is of its list's version and turns its old content
  // into the new one, every copy inflates to its content, and the index
  // gives their sizes and SHA-256.
  void ExpectListedFilesWork() {
    for (const auto& [list, ending, version] :
         {std::tuple("patches", ".patch", kSeekingPatchVersion),
          std::tuple("forwardPatches", ".forward.patch", kForwardPatchVersion)}) {
      for (const auto& [name, listed] : IndexList(list)) ExpectPatchWorks(name + ending, listed, version);
    }
    for (const auto& [hash, listed] : IndexList("compressed")) {
      const std::string compressed = ReadFile(delta() / (hash + ".deflate"));
      EXPECT_EQ(compressed.size(), listed.size);
      EXPECT_EQ(hasher->HashFile(delta() / (hash + ".deflate")), listed.hash);
      std::vector<std::uint8_t> content;
      EXPECT_TRUE(InflateBuffer(reinterpret_cast<const std::uint8_t*>(compressed.data()), compressed.size(),
                                contents[hash].size(), content));
      EXPECT_TRUE(std::string(content.begin(), content.end()) == contents[hash]);
      EXPECT_LT(listed.size, contents[hash].size());
    }
  }

  void ExpectPatchWorks(const std::string& name, const DeltaArtifact& listed, std::uint8_t version) {
    const std::string patch = ReadFile(delta() / name);
    ASSERT_EQ(patch.size(), listed.size) << name;
    EXPECT_EQ(patch[4], version) << name;
    EXPECT_EQ(hasher->HashFile(delta() / name), listed.hash);
    const std::string& old = contents[name.substr(0, 64)];
    MemoryReader patchReader(reinterpret_cast<const std::uint8_t*>(patch.data()), patch.size());
    MemoryReader oldReader(reinterpret_cast<const std::uint8_t*>(old.data()), old.size());
    const std::string& newer = contents[name.substr(65, 64)];
    std::string rebuilt;
    EXPECT_TRUE(ApplyAnyPatch(patchReader, oldReader, newer.size(), [&rebuilt](const std::uint8_t* bytes, std::size_t count) {
      rebuilt.append(reinterpret_cast<const char*>(bytes), count);
      return true;
    }));
    EXPECT_TRUE(rebuilt == newer) << name;
  }

  std::string HashIn(std::int32_t versionCode, const std::string& path) const {
    const fs::path history = delta() / "history" / (std::to_string(versionCode) + ".json");
    for (const ManifestFile& file : ParseManifest(ReadFile(history)).files) {
      if (file.path == path) return file.hash;
    }
    return "";
  }

  std::set<std::string> DeltaNames() const { return EntryNames(delta()); }
  std::string IndexName() const { return DeltaIndexName(PublishedManifest().deltaIndex.hash); }
  fs::path delta() const { return release / kDeltaFolderName; }

  std::map<std::string, std::string> contents;  // by hash
};

TEST_F(DeltaFolderTest, PatchesFromEachOfTheLastThreeReleasesAndCopiesOfWhatTheyName) {
  Write("same.dll", "unchanged");
  std::string firstHash;
  for (int version = 1; version <= 5; ++version) {
    Write("app.exe", Program(version));
    if (version == 5) Write("added.dll", Program(1) + "added");
    ASSERT_TRUE(PublishRemembering(Options(version))) << error;
    if (version == 1) firstHash = PublishedManifest().files[0].hash;
  }
  const std::string newest = PublishedManifest().files[1].hash;
  ASSERT_EQ(PublishedManifest().files[1].path, "app.exe");
  std::map<std::string, DeltaArtifact> patches = IndexList("patches");
  std::map<std::string, DeltaArtifact> forwardPatches = IndexList("forwardPatches");
  ASSERT_EQ(patches.size(), 3u);
  ASSERT_EQ(forwardPatches.size(), 3u);
  for (int version = 2; version <= 4; ++version) {
    EXPECT_EQ(patches.count(HashIn(version, "app.exe") + "-" + newest), 1u) << version;
    EXPECT_EQ(forwardPatches.count(HashIn(version, "app.exe") + "-" + newest), 1u) << version;
  }
  // One rebuild's changes cost a fraction of the compressed copy.
  EXPECT_LT(patches[HashIn(4, "app.exe") + "-" + newest].size, IndexList("compressed")[newest].size / 3);
  // Only files smaller compressed are listed; "unchanged" is not.
  EXPECT_EQ(IndexList("compressed").size(), 2u);
  EXPECT_EQ(IndexList("compressed").count(newest), 1u);
  ExpectListedFilesWork();

  std::set<std::string> expectedNames = {"history", "index.json", IndexName()};
  for (int version = 2; version <= 4; ++version) expectedNames.insert(HashIn(version, "app.exe") + ".deflate");
  for (const ManifestFile& file : PublishedManifest().files) expectedNames.insert(file.hash + ".deflate");
  for (const auto& [name, listed] : patches) expectedNames.insert(name + ".patch");
  for (const auto& [name, listed] : forwardPatches) expectedNames.insert(name + ".forward.patch");
  EXPECT_EQ(DeltaNames(), expectedNames);
  EXPECT_EQ(expectedNames.count(firstHash + ".deflate"), 0u);
  EXPECT_EQ(EntryNames(delta() / "history"), (std::set<std::string>{"2.json", "3.json", "4.json"}));

  // Forward patches only: the older updaters' list is empty.
  Write("app.exe", Program(6));
  PublishOptions options = Options(6);
  options.seekingPatches = false;
  ASSERT_TRUE(PublishRemembering(options)) << error;
  EXPECT_TRUE(IndexList("patches").empty());
  EXPECT_EQ(IndexList("forwardPatches").size(), 3u);
  ExpectListedFilesWork();

  // Without history nothing but the copies of this release stays.
  Write("app.exe", Program(7));
  options = Options(7);
  options.patchHistory = 0;
  ASSERT_TRUE(PublishRemembering(options)) << error;
  EXPECT_TRUE(IndexList("patches").empty());
  EXPECT_TRUE(IndexList("forwardPatches").empty());
  expectedNames = {"history", "index.json", IndexName()};
  for (const ManifestFile& file : PublishedManifest().files) expectedNames.insert(file.hash + ".deflate");
  EXPECT_EQ(DeltaNames(), expectedNames);
  ExpectListedFilesWork();
}

TEST_F(DeltaFolderTest, AProgramsForwardPatchIsTheSmallerOfTheFilesAndOfTheirForms) {
  const auto sample = [](const char* name) { return ReadFile(fs::u8path(ZAVEX_TESTS_SOURCE_DIR) / "formats/pe_samples" / name); };
  const std::string first = sample("sample_32_v1.exe");
  std::string second = sample("sample_32_v2.exe");
  std::string third = second;
  third.back() ^= 1;
  const std::string* const builds[] = {&first, &second, &third};
  // Moved code: transformed. One byte of padding: the side data would be pure cost.
  const PatchTransform kept[] = {PatchTransform::kExecutable, PatchTransform::kNone};
  for (int version = 1; version <= 3; ++version) {
    Write("app.exe", *builds[version - 1]);
    PublishOptions options = Options(version);
    options.patchHistory = 1;
    ASSERT_TRUE(PublishRemembering(options)) << error;
    if (version == 1) continue;
    ASSERT_EQ(IndexList("forwardPatches").size(), 1u);
    const std::string name = IndexList("forwardPatches").begin()->first;
    EXPECT_EQ(ReadFile(delta() / (name + ".forward.patch"))[kPatchHeaderSize],
              static_cast<char>(kept[version - 2])) << version;
    // Version 1 patches stay those of the files.
    const std::string& old = *builds[version - 2];
    const std::string& newer = *builds[version - 1];
    const Bytes seeking = CreatePatch(reinterpret_cast<const std::uint8_t*>(old.data()), old.size(),
                                      reinterpret_cast<const std::uint8_t*>(newer.data()), newer.size(),
                                      PatchFormat::kSeeking);
    EXPECT_TRUE(ReadFile(delta() / (name + ".patch")) == std::string(seeking.begin(), seeking.end())) << version;
    ExpectListedFilesWork();
  }
}

TEST_F(DeltaFolderTest, APatchNoSmallerThanTheCompressedCopyIsLeftOut) {
  const Bytes first = WordBytes(100000, 1);
  Write("notes.txt", std::string(first.begin(), first.end()));
  ASSERT_TRUE(PublishRemembering(Options(1))) << error;
  const Bytes second = WordBytes(100000, 2);
  Write("notes.txt", std::string(second.begin(), second.end()));
  ASSERT_TRUE(PublishRemembering(Options(2))) << error;
  EXPECT_TRUE(IndexList("patches").empty());
  EXPECT_TRUE(IndexList("forwardPatches").empty());
  EXPECT_EQ(IndexList("compressed").size(), 1u);
  ExpectListedFilesWork();
}

TEST_F(DeltaFolderTest, AFilePastTheDiffLimitGetsItsCompressedCopyOnly) {
  const Bytes first = WordBytes(100000, 3);
  Write("notes.txt", std::string(first.begin(), first.end()));
  ASSERT_TRUE(PublishRemembering(Options(1))) << error;
  const fs::path staging = root / "staging";
  const Bytes second = EditedBytes(first, 100, 4);
  fs::create_directories(staging);
  std::ofstream(staging / "notes.txt", std::ios::binary) << std::string(second.begin(), second.end());
  Manifest manifest = PublishedManifest();
  manifest.versionCode = 2;
  manifest.files[0] = {"notes.txt", hasher->HashFile(staging / "notes.txt"), static_cast<std::uint32_t>(second.size())};
  DeltaOptions options;
  options.diffSizeLimit = first.size() + second.size() - 1;
  std::vector<std::string> warnings;
  DeltaIndexRef index;
  ASSERT_TRUE(WriteDeltaFolder(staging, release, manifest, options, *hasher, index, warnings, error)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("notes.txt and its earlier version are together above", 0), 0u) << warnings[0];
  const std::set<std::string> expected = {"history", "index.json", DeltaIndexName(index.hash),
                                          manifest.files[0].hash + ".deflate",
                                          PublishedManifest().files[0].hash + ".deflate"};
  EXPECT_EQ(EntryNames(staging / kDeltaFolderName), expected);
}

}  // namespace
}  // namespace zavex
