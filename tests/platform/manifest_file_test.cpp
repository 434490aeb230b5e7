#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/manifest_file.h"
#include "platform/unique_handle.h"
#include "support/test_files.h"

namespace zavex {
namespace {

const char kManifest[] =
    "{\"version\": \"3.1\", \"versionCode\": 31, \"files\": "
    "[{\"path\": \"zavexphone.exe\", \"hash\": \"00ff\", \"size\": 10}]}";

constexpr std::size_t kSizeLimit = 64 * 1024 * 1024;

// kManifest followed by blanks up to size bytes.
std::string PaddedManifest(std::size_t size) {
  std::string text(kManifest);
  text.resize(size, ' ');
  return text;
}

TEST(LoadManifestFile, ReadsTheWholeFile) {
  test::TempDir dir;
  const std::wstring path = dir / L"manifest.json";
  ASSERT_TRUE(test::WriteTextFile(path, std::string(kManifest) + "\r\n trailing"));
  const Manifest manifest = LoadManifestFile(path);
  EXPECT_EQ(manifest.version, "3.1");
  EXPECT_EQ(manifest.versionCode, 31);
  ASSERT_EQ(manifest.files.size(), 1u);
  EXPECT_EQ(manifest.files[0].path, "zavexphone.exe");
  EXPECT_EQ(manifest.files[0].hash, "00ff");
  EXPECT_EQ(manifest.files[0].size, 10u);
  EXPECT_TRUE(IsValid(manifest));
}

TEST(LoadManifestFile, UnreadableFilesGiveTheEmptyManifest) {
  test::TempDir dir;
  EXPECT_FALSE(IsValid(LoadManifestFile(dir / L"missing.json")));
  EXPECT_FALSE(IsValid(LoadManifestFile(dir.path())));

  const std::wstring empty = dir / L"empty.json";
  ASSERT_TRUE(test::WriteTextFile(empty, ""));
  EXPECT_FALSE(IsValid(LoadManifestFile(empty)));

  const std::wstring marked = dir / L"bom.json";
  ASSERT_TRUE(test::WriteTextFile(marked, std::string("\xEF\xBB\xBF") + kManifest));
  EXPECT_TRUE(LoadManifestFile(marked).version.empty());

  const std::wstring locked = dir / L"locked.json";
  ASSERT_TRUE(test::WriteTextFile(locked, kManifest));
  {
    const UniqueFile holder(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(IsValid(LoadManifestFile(locked)));
  }
  EXPECT_TRUE(IsValid(LoadManifestFile(locked)));
}

TEST(LoadManifestFile, RefusesFilesOf64MiBOrMore) {
  test::TempDir dir;
  const std::wstring path = dir / L"manifest.json";
  ASSERT_TRUE(test::WriteTextFile(path, PaddedManifest(kSizeLimit - 1)));
  EXPECT_TRUE(IsValid(LoadManifestFile(path)));
  ASSERT_TRUE(test::WriteTextFile(path, PaddedManifest(kSizeLimit)));
  EXPECT_FALSE(IsValid(LoadManifestFile(path)));
}

}  // namespace
}  // namespace zavex
