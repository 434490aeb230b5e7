#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/fetch_plan.h"

namespace zavex {
namespace {

const std::string kOld(64, 'a');
const std::string kNew(64, 'b');
const std::string kPatchBytes(64, 'c');
const std::string kCopyBytes(64, 'd');

std::string Describe(const std::vector<FetchWay>& ways) {
  std::string text;
  for (const FetchWay& way : ways) {
    text += std::to_string(static_cast<int>(way.kind)) + " " + way.urlPath + " " + std::to_string(way.size) + " " +
            way.hash.substr(0, 1) + " " + way.fromHash.substr(0, 1) + "\n";
  }
  return text;
}

Manifest Installed(const std::string& path) {
  Manifest installed;
  installed.files = {{path, kOld, 1000, true}};
  return installed;
}

DeltaIndex Index(std::uint64_t patchSize, std::uint64_t copySize, std::uint64_t forwardSize = 0) {
  DeltaIndex index;
  index.patches[PatchName(kOld, kNew)] = {patchSize, kPatchBytes};
  if (forwardSize > 0) index.forwardPatches[ForwardPatchName(kOld, kNew)] = {forwardSize, kPatchBytes};
  index.compressed[kNew] = {copySize, kCopyBytes};
  return index;
}

TEST(PlanFetchWays, PatchThenCopyThenWholeEachOnlyWhenSmallerThanTheFile) {
  const std::string patch = "zavex_delta/" + PatchName(kOld, kNew);
  const std::string forward = "zavex_delta/" + ForwardPatchName(kOld, kNew);
  const std::string copy = "zavex_delta/" + CompressedCopyName(kNew);
  const struct {
    const char* name;
    Manifest installed;
    DeltaIndex index;
    std::string ways;
  } cases[] = {
      {"both smaller", Installed("lib/x.dll"), Index(10, 500),
       "0 " + patch + " 10 c a\n1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"forward patch first", Installed("lib/x.dll"), Index(10, 500, 8),
       "0 " + forward + " 8 c a\n1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"forward patch an eighth larger than the other", Installed("lib/x.dll"), Index(80, 500, 90),
       "0 " + forward + " 90 c a\n1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"forward patch more than an eighth larger", Installed("lib/x.dll"), Index(80, 500, 91),
       "0 " + patch + " 80 c a\n1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"forward patch at the file's size", Installed("lib/x.dll"), Index(10, 500, 1000),
       "0 " + patch + " 10 c a\n1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"installed under another spelling", Installed("LIB\\X.DLL"), Index(10, 500),
       "0 " + patch + " 10 c a\n1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"patch at the file's size", Installed("lib/x.dll"), Index(1000, 999),
       "1 " + copy + " 999 d \n2 lib/x.dll 1000 b \n"},
      {"copy at the file's size", Installed("lib/x.dll"), Index(999, 1000),
       "0 " + patch + " 999 c a\n2 lib/x.dll 1000 b \n"},
      {"not installed", Manifest(), Index(10, 500), "1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"installed another content", Installed("lib/y.dll"), Index(10, 500),
       "1 " + copy + " 500 d \n2 lib/x.dll 1000 b \n"},
      {"no index", Installed("lib/x.dll"), DeltaIndex(), "2 lib/x.dll 1000 b \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::vector<FetchWay>> ways = PlanFetchWays({{"lib/x.dll", kNew, 1000, true}}, c.installed, c.index);
    ASSERT_EQ(ways.size(), 1u);
    EXPECT_EQ(Describe(ways[0]), c.ways);
  }
}

}  // namespace
}  // namespace zavex
