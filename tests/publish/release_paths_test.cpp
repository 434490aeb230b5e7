#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "publish/optional_pattern.h"
#include "publish/release_paths.h"

namespace zavex {
namespace {

TEST(ReleasePaths, AcceptsOrdinaryNamesAtAnyDepth) {
  for (const char* path : {"zavexphone.exe", "lib/codec.dll", "docs/read me.txt", "a/b/c/d.bin",
                           ".hidden", "lib/manifest.json", "lib/zavex_updater.exe", ".tmp",
                           "x.old2", "con2.txt", "com0", "console.log", "s\xC3\xA3o paulo.txt",
                           "\xF0\x9F\x93\x9E.png", "v1.0/app", "zavex_updater.exe",
                           "lib/zavex_delta/x.dll", "lib/zavex_staging/x.dll"}) {
    EXPECT_EQ(PathRefusal(path), "") << path;
  }
}

TEST(ReleasePaths, RefusesWhatTheUpdaterCannotInstallOrKeep) {
  struct Case {
    std::string path;
    std::string reason;
  };
  const Case cases[] = {
      {"a:b.dll", "holds the character :"},
      {"c:/windows/x.dll", "holds the character :"},
      {"lib\\..\\..\\x.dll", "holds the character \\"},
      {"what?.txt", "holds the character ?"},
      {"star*.txt", "holds the character *"},
      {"a<b", "holds the character <"},
      {"pipe|.txt", "holds the character |"},
      {"quote\".txt", "holds the character \""},
      {"100%.dll", "holds the character %"},
      {"lib/hash#1.dll", "holds the character #"},
      {std::string("zero\0byte", 9), "holds a control character"},
      {"tab\there", "holds a control character"},
      {"dot.", "has a name ending in a dot or blank"},
      {"blank /x.dll", "has a name ending in a dot or blank"},
      {"../x.dll", "has a name ending in a dot or blank"},
      {"/root.dll", "has an empty folder or file name"},
      {"lib//x.dll", "has an empty folder or file name"},
      {"nul", "uses nul, a device name"},
      {"lib/CON.txt", "uses CON.txt, a device name"},
      {"COM1.log", "uses COM1.log, a device name"},
      {"lpt9/x", "uses lpt9, a device name"},
      {"manifest.json", "is a name the updater keeps for itself"},
      {"zavex_updater.log", "is a name the updater keeps for itself"},
      {"Manifest.json.sig", "is a name the updater keeps for itself"},
      {"zavex_delta/x.dll", "is a name the updater keeps for itself"},
      {"Zavex_Delta", "is a name the updater keeps for itself"},
      {"zavex_staging/lib/x.dll", "is a name the updater keeps for itself"},
      {"ZAVEX_STAGING", "is a name the updater keeps for itself"},
      {"Zavex_Placing.Journal", "is a name the updater keeps for itself"},
      {"codec.dll.old", "ends in .old"},
      {"lib/cache.TMP", "ends in .tmp"},
      {"bad\xFF.dll", "is not valid UTF-8"},
      {"cut\xC3", "is not valid UTF-8"},
      {"overlong\xC0\xAF", "is not valid UTF-8"},
      {"surrogate\xED\xA0\x80", "is not valid UTF-8"},
  };
  for (const Case& refused : cases) {
    EXPECT_EQ(PathRefusal(refused.path).rfind(refused.reason, 0), 0u)
        << refused.path << ": " << PathRefusal(refused.path);
  }
}

TEST(ReleasePaths, FindsPathsThatDifferOnlyInLetterCase) {
  std::pair<std::string, std::string> collision;
  EXPECT_FALSE(FindCaseCollision({"a.dll", "lib/a.dll", "Lib2/a.dll", "b"}, collision));
  EXPECT_TRUE(FindCaseCollision({"Lib/Codec.dll", "docs/x", "lib/codec.DLL"}, collision));
  EXPECT_EQ(collision, std::make_pair(std::string("Lib/Codec.dll"), std::string("lib/codec.DLL")));
  // Accented letters too: Windows sees one file.
  EXPECT_TRUE(FindCaseCollision({"AÇÃO.dll", "x", "ação.dll"}, collision));
  EXPECT_EQ(collision, std::make_pair(std::string("AÇÃO.dll"), std::string("ação.dll")));
  EXPECT_TRUE(FindCaseCollision({"Ω.dll", "ω.dll"}, collision));
  EXPECT_FALSE(FindCaseCollision({"I.dll", "ı.dll", "é.dll", "e\u0301.dll"}, collision));
}

TEST(OptionalPattern, MatchesNamesInEveryFolderOrWholePaths) {
  EXPECT_TRUE(MatchesOptionalPattern("*.pdb", "app.pdb"));
  EXPECT_TRUE(MatchesOptionalPattern("*.pdb", "lib/deep/codec.pdb"));
  EXPECT_FALSE(MatchesOptionalPattern("*.pdb", "app.pdb.txt"));
  EXPECT_FALSE(MatchesOptionalPattern("*.pdb", "app.PDB"));
  EXPECT_TRUE(MatchesOptionalPattern("readme.txt", "docs/readme.txt"));
  EXPECT_TRUE(MatchesOptionalPattern("?.dll", "lib/a.dll"));
  EXPECT_FALSE(MatchesOptionalPattern("?.dll", "lib/ab.dll"));

  EXPECT_TRUE(MatchesOptionalPattern("docs/*", "docs/manual.pdf"));
  EXPECT_FALSE(MatchesOptionalPattern("docs/*", "docs/en/manual.pdf"));
  EXPECT_FALSE(MatchesOptionalPattern("docs/*", "lib/docs/manual.pdf"));
  EXPECT_TRUE(MatchesOptionalPattern("docs/**", "docs/en/manual.pdf"));
  EXPECT_TRUE(MatchesOptionalPattern("**/*.pdb", "a/b/c.pdb"));
  EXPECT_FALSE(MatchesOptionalPattern("lib/?/x", "lib//x"));
  EXPECT_TRUE(MatchesOptionalPattern("lib/*/x*y", "lib/a/xzzy"));
  EXPECT_TRUE(MatchesOptionalPattern("*", "anything"));
  EXPECT_FALSE(MatchesOptionalPattern("", "anything"));

  // Many stars against a long name that almost matches stay quick.
  const std::string longName(2000, 'a');
  EXPECT_FALSE(MatchesOptionalPattern("*a*a*a*a*a*a*a*a*a*a*b", longName));
  EXPECT_TRUE(MatchesOptionalPattern("*a*a*a*a*a*a*a*a*a*a", longName));
}

}  // namespace
}  // namespace zavex
