#include "bench/ops/manifest_work.h"

#include <gtest/gtest.h>

#include "formats/manifest.h"
#include "support/test_files.h"

namespace zavex::bench {
namespace {

std::string Hash(char digit) { return std::string(64, digit); }

Manifest Release(int versionCode, const std::vector<ManifestFile>& files) {
  Manifest manifest;
  manifest.version = std::to_string(versionCode) + ".0";
  manifest.versionCode = versionCode;
  manifest.files = files;
  return manifest;
}

TEST(ManifestWorkTest, CountsWhatTheUpdateWouldDownloadDeleteAndWrite) {
  test::TempDir temp;
  const Manifest installed =
      Release(1, {{"app.exe", Hash('1'), 10}, {"lib/a.dll", Hash('2'), 20}, {"old.txt", Hash('3'), 5}});
  const Manifest server = Release(
      2, {{"app.exe", Hash('1'), 10}, {"lib/a.dll", Hash('4'), 21}, {"lib/b.dll", Hash('5'), 7}});
  ASSERT_TRUE(test::WriteTextFile(temp / L"manifest.json", SerializeManifest(installed)));

  ManifestWorkFigures figures;
  ASSERT_TRUE(MeasureManifestWork(temp / L"manifest.json", SerializeManifest(server), 2, figures));
  EXPECT_EQ(figures.installedEntries, 3u);
  EXPECT_EQ(figures.serverEntries, 3u);
  EXPECT_EQ(figures.filesToUpdate, 2u);
  EXPECT_EQ(figures.pathsToDelete, 1u);
  EXPECT_EQ(figures.serialisedBytes, SerializeManifest(server).size());
  EXPECT_GE(figures.UpdateTotalMs(), figures.loadInstalledMs + figures.parseServerMs);
}

TEST(ManifestWorkTest, RefusesARecordOrDocumentThatIsNoValidManifest) {
  test::TempDir temp;
  const std::string valid = SerializeManifest(Release(1, {{"app.exe", Hash('1'), 10}}));
  ASSERT_TRUE(test::WriteTextFile(temp / L"manifest.json", valid));
  ManifestWorkFigures figures;

  EXPECT_FALSE(MeasureManifestWork(temp / L"manifest.json", "{not json", 1, figures));
  EXPECT_FALSE(MeasureManifestWork(temp / L"missing.json", valid, 1, figures));
  EXPECT_FALSE(MeasureManifestWork(temp / L"manifest.json", valid, 0, figures));
  EXPECT_TRUE(MeasureManifestWork(temp / L"manifest.json", valid, 1, figures));
}

}  // namespace
}  // namespace zavex::bench
