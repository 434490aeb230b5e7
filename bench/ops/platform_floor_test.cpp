#include "bench/ops/platform_floor.h"

#include <gtest/gtest.h>

#include "support/http_server.h"
#include "support/test_files.h"

namespace zavex::bench {
namespace {

// sha256sum of "alpha" and of "beta".
constexpr char kAlphaHash[] = "8ed3f6ad685b959ead7022518e1af76cd816f8e8ec7ccdda1ed4018e8f2223f8";
constexpr char kBetaHash[] = "f44e64e75f3948e9f73f8dfa94721c4ce8cbb4f265c4790c702b2d41cfbf2753";

class PlatformFloorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.listening());
    server.SetRoute("/alpha.bin", 200, "alpha");
    server.SetRoute("/sub/dir/beta.bin", 200, "beta");
  }

  test::HttpServer server;
  test::TempDir temp;
};

TEST_F(PlatformFloorTest, FetchesEveryFileIntoItsFolderAndCountsIt) {
  const std::vector<ManifestFile> files = {{"alpha.bin", kAlphaHash, 5},
                                           {"sub/dir/beta.bin", "", 4}};
  FloorFigures figures;
  std::string error;
  // The second entry's hash is wrong on purpose: it stops the run there.
  EXPECT_FALSE(FetchAndVerify(files, server.Url("/"), temp.path(), figures, error));
  EXPECT_EQ(error, "hash differs: sub/dir/beta.bin");
  EXPECT_EQ(test::ReadTextFile(temp / L"alpha.bin"), "alpha");
  EXPECT_EQ(test::ReadTextFile(temp / L"sub\\dir\\beta.bin"), "beta");

  ASSERT_TRUE(FetchAndVerify({files[0]}, server.Url("/"), temp.path(), figures, error));
  EXPECT_EQ(figures.files, 1u);
  EXPECT_EQ(figures.bytes, 5u);
  EXPECT_GT(figures.seconds, 0.0);
}

TEST_F(PlatformFloorTest, MissingFileStopsTheRunWithItsPath) {
  FloorFigures figures;
  std::string error;
  EXPECT_FALSE(FetchAndVerify({{"gone.bin", kBetaHash, 1}}, server.Url("/"), temp.path(), figures,
                              error));
  EXPECT_EQ(error, "download failed: gone.bin");
}

}  // namespace
}  // namespace zavex::bench
