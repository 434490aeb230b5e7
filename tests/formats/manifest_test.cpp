#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "formats/comparison_by_definition.h"
#include "formats/manifest.h"

namespace zavex {
namespace {

using test::Describe;
using test::FilesToDeleteByDefinition;
using test::FilesToUpdateByDefinition;

ManifestFile File(const std::string& path, const std::string& hash, std::uint32_t size = 1,
                  bool required = true) {
  return ManifestFile{path, hash, size, required};
}

Manifest WithFiles(std::vector<ManifestFile> files) {
  Manifest manifest;
  manifest.version = "1.0.0";
  manifest.versionCode = 1;
  manifest.files = std::move(files);
  return manifest;
}

bool IsEmptyManifest(const Manifest& manifest) {
  return manifest.version.empty() && manifest.versionCode == 0 && manifest.releaseDate.empty() &&
         manifest.releaseNotes.empty() && manifest.minVersion.empty() &&
         manifest.expires.empty() && manifest.deltaIndex.hash.empty() && manifest.files.empty();
}

std::string WithVersionCode(const std::string& code) {
  return "{\"version\": \"1\", \"versionCode\": " + code + ", \"files\": [{\"path\": \"a\"}]}";
}

std::uint32_t SizeRead(const std::string& size) {
  const Manifest manifest = ParseManifest("{\"files\": [{\"size\": " + size + "}]}");
  return manifest.files.at(0).size;
}

const std::string kIndexHash(64, 'b');

const char kTwoFileDocument[] = R"({
  "files": [
    {"required": false, "size": 1024, "hash": "ab12", "path": "bin/app.dll"},
    {"path": "zavexphone.exe", "hash": "CD34", "size": 20}
  ],
  "minVersion": "1.0.0",
  "expires": "2024-07-30T12:00:00Z",
  "deltaIndex": {"size": 1234, "hash": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"},
  "releaseNotes": "Corre\u00e7\u00f5es",
  "releaseDate": "2024-05-01",
  "versionCode": 12,
  "version": "1.2.0"
} trailing words)";

TEST(ParseManifest, ReadsEveryFieldWhateverTheKeyOrder) {
  const Manifest manifest = ParseManifest(kTwoFileDocument);
  EXPECT_EQ(manifest.version, "1.2.0");
  EXPECT_EQ(manifest.versionCode, 12);
  EXPECT_EQ(manifest.releaseDate, "2024-05-01");
  EXPECT_EQ(manifest.releaseNotes, "Corre\xC3\xA7\xC3\xB5" "es");
  EXPECT_EQ(manifest.minVersion, "1.0.0");
  EXPECT_EQ(manifest.expires, "2024-07-30T12:00:00Z");
  EXPECT_EQ(manifest.deltaIndex.hash, kIndexHash);
  EXPECT_EQ(manifest.deltaIndex.size, 1234u);
  EXPECT_EQ(Describe(manifest.files), "bin/app.dll|ab12|1024|false\nzavexphone.exe|CD34|20|true\n");
  EXPECT_TRUE(IsValid(manifest));
}

// The index is named as the publisher writes it, or the manifest is refused.
TEST(ParseManifest, AMalformedDeltaIndexGivesTheEmptyManifest) {
  const std::string files = ", \"files\": [{\"path\": \"a\", \"hash\": \"h\"}]}";
  const std::string head = "{\"version\": \"1\", \"versionCode\": 1, \"deltaIndex\": ";
  EXPECT_TRUE(IsValid(ParseManifest("{\"version\": \"1\", \"versionCode\": 1" + files)));
  for (const std::string& member : {std::string("null"), "\"" + kIndexHash + "\"", "{\"hash\": \"" + kIndexHash + "\"}",
                                   "{\"hash\": \"" + kIndexHash + "\", \"size\": 8388609}",
                                   "{\"hash\": \"" + kIndexHash.substr(2) + "\", \"size\": 1}"}) {
    EXPECT_TRUE(IsEmptyManifest(ParseManifest(head + member + files))) << member;
  }
}

// A fraction, a text or a number out of range is never read as 0 or 100.
TEST(ParseManifest, ARolloutOrCriticalBelowThatIsNoWholeNumberInRangeGivesTheEmptyManifest) {
  const std::string files = ", \"files\": [{\"path\": \"a\", \"hash\": \"h\"}]}";
  const std::string head = "{\"version\": \"1\", \"versionCode\": 1, ";
  for (const std::string member : {"\"rollout\": 0.5", "\"rollout\": 101", "\"rollout\": -1",
                                   "\"rollout\": \"10\"", "\"rollout\": null",
                                   "\"criticalBelow\": 2.5", "\"criticalBelow\": -1",
                                   "\"criticalBelow\": 2147483648", "\"criticalBelow\": true"}) {
    EXPECT_TRUE(IsEmptyManifest(ParseManifest(head + member + files))) << member;
  }
  const Manifest plain = ParseManifest("{\"version\": \"1\", \"versionCode\": 1" + files);
  EXPECT_EQ(plain.rollout, 100);
  EXPECT_EQ(plain.criticalBelow, 0);
  const Manifest staged = ParseManifest(head + "\"rollout\": 0, \"criticalBelow\": 7" + files);
  EXPECT_EQ(staged.rollout, 0);
  EXPECT_EQ(staged.criticalBelow, 7);
  EXPECT_EQ(ParseManifest(head + "\"rollout\": 100.0" + files).rollout, 100);
}

TEST(ParseManifest, FieldsOfTheWrongKindKeepTheirDefaults) {
  const Manifest manifest = ParseManifest(R"({"version": 2, "versionCode": "12",
      "releaseDate": null, "releaseNotes": [], "minVersion": {}, "files": [
      7, {"path": 1, "hash": true, "size": "10", "required": "false"}, "x",
      {"path": "", "hash": ""}, {"path": "a", "hash": "h"}, {"path": "a", "hash": "h"}]})");
  EXPECT_TRUE(manifest.version.empty());
  EXPECT_EQ(manifest.versionCode, 0);
  EXPECT_TRUE(manifest.releaseDate.empty());
  EXPECT_TRUE(manifest.releaseNotes.empty());
  EXPECT_TRUE(manifest.minVersion.empty());
  // Non-objects are skipped; empty and repeated entries stay.
  EXPECT_EQ(Describe(manifest.files), "||0|true\n||0|true\na|h|0|true\na|h|0|true\n");
  EXPECT_FALSE(IsValid(manifest));

  EXPECT_TRUE(ParseManifest(R"({"version": "1", "files": {"path": "a"}})").files.empty());
}

TEST(ParseManifest, NumbersTruncateTowardZeroInto32Bits) {
  EXPECT_EQ(ParseManifest(WithVersionCode("3.9")).versionCode, 3);
  EXPECT_EQ(ParseManifest(WithVersionCode("-3.9")).versionCode, -3);
  EXPECT_EQ(ParseManifest(WithVersionCode("-2")).versionCode, -2);
  EXPECT_FALSE(IsValid(ParseManifest(WithVersionCode("-2"))));
  EXPECT_FALSE(IsValid(ParseManifest(WithVersionCode("0.5"))));
  EXPECT_FALSE(IsValid(ParseManifest(WithVersionCode("\"12\""))));
  EXPECT_TRUE(IsValid(ParseManifest(WithVersionCode("1"))));
  EXPECT_EQ(ParseManifest(WithVersionCode("2147483647.9")).versionCode, INT32_MAX);
  EXPECT_EQ(ParseManifest(WithVersionCode("-2147483648.9")).versionCode, INT32_MIN);
  EXPECT_EQ(ParseManifest(WithVersionCode("2147483648")).versionCode, INT32_MIN);
  EXPECT_EQ(ParseManifest(WithVersionCode("1e10")).versionCode, INT32_MIN);
  EXPECT_EQ(ParseManifest(WithVersionCode("-2147483649")).versionCode, INT32_MIN);
  EXPECT_FALSE(IsValid(ParseManifest(WithVersionCode("1e10"))));
}

// Sizes of 2 to 4 GiB, which the publisher accepts, read exactly; other
// values keep the signed 32-bit reading, wrapped.
TEST(ParseManifest, SizesUpTo4GiBReadExactlyAndSerializeUnchanged) {
  const struct {
    const char* text;
    std::uint32_t size;
  } sizes[] = {
      {"7.8", 7u},
      {"2147483647", 2147483647u},
      {"2147483648", 2147483648u},
      {"2147483648.9", 2147483648u},
      {"3000000000", 3000000000u},
      {"4294967295", 4294967295u},
      {"4294967295.5", 4294967295u},
      {"4294967296", 2147483648u},
      {"1e300", 2147483648u},
      {"-1", 4294967295u},
      {"-2147483648", 2147483648u},
      {"-2147483649", 2147483648u},
      {"-1e300", 2147483648u},
      {"\"10\"", 0u},
  };
  for (const auto& size : sizes) EXPECT_EQ(SizeRead(size.text), size.size) << size.text;

  const Manifest manifest = ParseManifest(SerializeManifest(
      WithFiles({File("big.bin", "ab", 3000000000u), File("max.bin", "cd", 4294967295u)})));
  EXPECT_EQ(Describe(manifest.files), "big.bin|ab|3000000000|true\nmax.bin|cd|4294967295|true\n");
  EXPECT_NE(SerializeManifest(manifest).find("\"size\": 3000000000,\n"), std::string::npos);
}

TEST(ParseManifest, AnyReadErrorGivesTheEmptyManifest) {
  EXPECT_TRUE(IsEmptyManifest(ParseManifest("")));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest("not json")));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest("[{\"version\": \"1\"}]")));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest("\"manifest\"")));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest(std::string("\xEF\xBB\xBF") + kTwoFileDocument)));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest(R"({"version": "1.2.0", "versionCode": 12,
      "files": [{"path": "a", "hash": "h"} {"path": "b"}]})")));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest("{\"version\": \"1\", \"versionCode\": 1e400}")));
  EXPECT_TRUE(IsEmptyManifest(
      ParseManifest("{\"version\": \"1\", \"files\": [" + std::string(1000000, '[') + "]}")));
  EXPECT_TRUE(IsEmptyManifest(ParseManifest("{\"version\": \"\\uxyzw\"}")));
}

TEST(IsValid, NeedsVersionPositiveCodeAndFiles) {
  EXPECT_TRUE(IsValid(WithFiles({File("a", "")})));
  EXPECT_FALSE(IsValid(Manifest()));
  Manifest noVersion = WithFiles({File("a", "h")});
  noVersion.version.clear();
  EXPECT_FALSE(IsValid(noVersion));
  Manifest zeroCode = WithFiles({File("a", "h")});
  zeroCode.versionCode = 0;
  EXPECT_FALSE(IsValid(zeroCode));
  EXPECT_FALSE(IsValid(WithFiles({})));
}

TEST(IsValid, RejectsPathsThatLeaveTheInstallFolder) {
  const std::vector<std::string> escaping = {
      "..\\..\\Windows\\System32\\x.dll", "C:\\x.dll", "\\x.dll", "/x.dll", "a/../../x", "..",
      "a\\..", "a/..\\b", "\\\\server\\share\\x", "x.dll:stream", std::string("a\0b", 3)};
  for (const std::string& path : escaping) {
    EXPECT_FALSE(IsValid(WithFiles({File("ok.dll", "h"), File(path, "h")}))) << path;
  }
  const std::vector<std::string> inside = {"./manifest.json", "bin/app.dll", "bin\\lang/pt.dll",
                                           "", "...", "..a", "a..", "a/.../b", "a//b", ".\\x"};
  for (const std::string& path : inside) {
    EXPECT_TRUE(IsValid(WithFiles({File(path, "h"), File(path, "h")}))) << path;
  }
}

// The folder of downloads under way, as any spelling that Windows resolves to it.
TEST(IsValid, RejectsPathsInTheStagingFolder) {
  for (const std::string path : {"zavex_staging", "zavex_staging/lib/x.dll.patch", "Zavex_Staging\\x",
                                 "./zavex_staging/x", "zavex_staging. /x", "/zavex_staging/x"}) {
    EXPECT_FALSE(IsValid(WithFiles({File("ok.dll", "h"), File(path, "h")}))) << path;
  }
  for (const std::string path : {"lib/zavex_staging/x", "zavex_staging2/x", "zavex_stagin/x"}) {
    EXPECT_TRUE(IsValid(WithFiles({File(path, "h")}))) << path;
  }
}

// An update would overwrite them, and a later one delete them as removed files.
TEST(IsValid, RejectsTheInstallationIdAndChannelFiles) {
  for (const std::string path : {"zavex_installation.id", "ZAVEX_INSTALLATION.ID.", "zavex_channel.txt",
                                 "./zavex_channel.txt", "zavex_channel.txt/x"}) {
    EXPECT_FALSE(IsValid(WithFiles({File("ok.dll", "h"), File(path, "h")}))) << path;
  }
  EXPECT_TRUE(IsValid(WithFiles({File("lib/zavex_installation.id", "h")})));
}

TEST(SerializeManifest, EmptyManifestLayout) {
  EXPECT_EQ(SerializeManifest(Manifest()),
            "{\n"
            "  \"version\": \"\",\n"
            "  \"versionCode\": 0,\n"
            "  \"releaseDate\": \"\",\n"
            "  \"releaseNotes\": \"\",\n"
            "  \"minVersion\": \"\",\n"
            "  \"files\": [\n"
            "  ]\n"
            "}\n");
}

TEST(SerializeManifest, TwoFileLayout) {
  Manifest manifest = ParseManifest(kTwoFileDocument);
  manifest.expires.clear();
  manifest.deltaIndex = DeltaIndexRef();
  manifest.files[1].size = 4294967295u;
  EXPECT_EQ(SerializeManifest(manifest),
            "{\n"
            "  \"version\": \"1.2.0\",\n"
            "  \"versionCode\": 12,\n"
            "  \"releaseDate\": \"2024-05-01\",\n"
            "  \"releaseNotes\": \"Corre\xC3\xA7\xC3\xB5" "es\",\n"
            "  \"minVersion\": \"1.0.0\",\n"
            "  \"files\": [\n"
            "    {\n"
            "      \"path\": \"bin/app.dll\",\n"
            "      \"hash\": \"ab12\",\n"
            "      \"size\": 1024,\n"
            "      \"required\": false\n"
            "    },\n"
            "    {\n"
            "      \"path\": \"zavexphone.exe\",\n"
            "      \"hash\": \"CD34\",\n"
            "      \"size\": 4294967295,\n"
            "      \"required\": true\n"
            "    }\n"
            "  ]\n"
            "}\n");
  manifest.versionCode = -2;
  EXPECT_NE(SerializeManifest(manifest).find("\"versionCode\": -2,\n"), std::string::npos);
}

TEST(SerializeManifest, AnExpiryAndTheDeltaIndexFollowMinVersionAndReadBack) {
  const Manifest manifest = ParseManifest(kTwoFileDocument);
  const std::string text = SerializeManifest(manifest);
  EXPECT_NE(text.find("  \"minVersion\": \"1.0.0\",\n  \"expires\": \"2024-07-30T12:00:00Z\",\n"
                      "  \"deltaIndex\": {\"hash\": \"" + kIndexHash + "\", \"size\": 1234},\n"
                      "  \"files\": [\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(ParseManifest(text).expires, manifest.expires);
  EXPECT_EQ(ParseManifest(text).deltaIndex.hash, kIndexHash);
  EXPECT_EQ(SerializeManifest(ParseManifest(text)), text);
}

TEST(SerializeManifest, ARolloutBelow100AndACriticalCodeStandBeforeTheExpiryAndReadBack) {
  Manifest manifest = ParseManifest(kTwoFileDocument);
  manifest.rollout = 0;
  manifest.criticalBelow = 9;
  const std::string text = SerializeManifest(manifest);
  EXPECT_NE(text.find("  \"minVersion\": \"1.0.0\",\n  \"rollout\": 0,\n  \"criticalBelow\": 9,\n"
                      "  \"expires\": "),
            std::string::npos)
      << text;
  EXPECT_EQ(SerializeManifest(ParseManifest(text)), text);
  manifest.rollout = 100;
  manifest.criticalBelow = 0;
  EXPECT_EQ(SerializeManifest(manifest).find("rollout"), std::string::npos);
  EXPECT_EQ(SerializeManifest(manifest).find("criticalBelow"), std::string::npos);
}

TEST(IsUpdaterPath, NamesTheUpdaterAtTheTopInAnyLetterCase) {
  EXPECT_TRUE(IsUpdaterPath("zavex_updater.exe"));
  EXPECT_TRUE(IsUpdaterPath("ZAVEX_Updater.EXE"));
  EXPECT_FALSE(IsUpdaterPath("bin/zavex_updater.exe"));
  EXPECT_FALSE(IsUpdaterPath("zavex_updater.exe.old"));
  EXPECT_FALSE(IsUpdaterPath("zavex_updater.ex"));
}

TEST(SerializeManifest, EveryStringFieldIsEscapedAndReadsBack) {
  Manifest manifest;
  manifest.version = "2.0 \"beta\" C:\\";
  manifest.versionCode = INT32_MAX;
  manifest.releaseDate = "1\t2";
  manifest.releaseNotes = "Linha 1\r\nLinha \"2\"\x01";
  manifest.minVersion = "\\1.0";
  manifest.expires = "\"\n";
  manifest.files = {File("dir\\a \"b\".dll", "h\\\"", 2147483647u, false), File("", "", 0)};

  const std::string text = SerializeManifest(manifest);
  EXPECT_NE(text.find("  \"version\": \"2.0 \\\"beta\\\" C:\\\\\",\n"), std::string::npos);
  EXPECT_NE(text.find("  \"releaseDate\": \"1\\t2\",\n"), std::string::npos);
  EXPECT_NE(text.find("  \"releaseNotes\": \"Linha 1\\r\\nLinha \\\"2\\\"\\u0001\",\n"),
            std::string::npos);
  EXPECT_NE(text.find("      \"hash\": \"h\\\\\\\"\",\n"), std::string::npos);

  const Manifest reread = ParseManifest(text);
  EXPECT_EQ(reread.version, manifest.version);
  EXPECT_EQ(reread.versionCode, manifest.versionCode);
  EXPECT_EQ(reread.releaseDate, manifest.releaseDate);
  EXPECT_EQ(reread.releaseNotes, manifest.releaseNotes);
  EXPECT_EQ(reread.minVersion, manifest.minVersion);
  EXPECT_EQ(reread.expires, manifest.expires);
  EXPECT_EQ(Describe(reread.files), Describe(manifest.files));
  EXPECT_EQ(SerializeManifest(reread), text);
}

TEST(EscapeJsonString, EscapesOnlyQuoteBackslashAndControlBytes) {
  EXPECT_EQ(EscapeJsonString("\b\t\n\f\r\"\\"), "\\b\\t\\n\\f\\r\\\"\\\\");
  EXPECT_EQ(EscapeJsonString(std::string("\0\x0B\x1F\x10", 4)), "\\u0000\\u000b\\u001f\\u0010");
  EXPECT_EQ(EscapeJsonString("/ \x7F\xC3\xA9\xFF~"), "/ \x7F\xC3\xA9\xFF~");
  EXPECT_EQ(EscapeJsonString(""), "");

  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  Manifest manifest = WithFiles({File(everyByte, "h")});
  manifest.releaseNotes = everyByte;
  const Manifest reread = ParseManifest(SerializeManifest(manifest));
  EXPECT_EQ(reread.releaseNotes, everyByte);
  ASSERT_EQ(reread.files.size(), 1u);
  EXPECT_EQ(reread.files[0].path, everyByte);
}

TEST(GetFilesToUpdate, NewAndChangedEntriesInNewerOrder) {
  const Manifest installed = WithFiles({File("b", "h2"), File("a", "h1"), File("App.dll", "h3"),
                                        File("c", "AB"), File("gone", "h5")});
  const Manifest newer = WithFiles({File("a", "h1", 9, false), File("app.dll", "h3"),
                                    File("new", "h4", 5), File("c", "ab"), File("b", "h2", 7)});
  // Size and required play no part; hashes compare case-sensitively, paths
  // as Windows names.
  EXPECT_EQ(Describe(GetFilesToUpdate(newer, installed)), "new|h4|5|true\nc|ab|1|true\n");
  EXPECT_EQ(GetFilesToDelete(newer, installed), std::vector<std::string>{"gone"});
}

TEST(GetFilesToUpdate, FirstInstalledEntryWithAPathDecides) {
  const Manifest installed = WithFiles({File("a", "old"), File("a", "new"), File("b", "x")});
  const Manifest newer = WithFiles({File("a", "new"), File("b", "x"), File("b", "y"),
                                    File("a", "old")});
  EXPECT_EQ(Describe(GetFilesToUpdate(newer, installed)), "a|new|1|true\nb|y|1|true\n");
  EXPECT_EQ(Describe(GetFilesToUpdate(newer, Manifest())), Describe(newer.files));
  EXPECT_TRUE(GetFilesToUpdate(Manifest(), installed).empty());
}

TEST(GetFilesToDelete, InstalledPathsNoLongerListedInInstalledOrder) {
  const Manifest installed =
      WithFiles({File("z", "1"), File("gone", "1"), File("a", "1"), File("gone", "2"),
                 File("old/x", "1")});
  const Manifest newer = WithFiles({File("a", "9"), File("z", "9"), File("new", "1")});
  EXPECT_EQ(GetFilesToDelete(newer, installed),
            (std::vector<std::string>{"gone", "gone", "old/x"}));
  EXPECT_TRUE(GetFilesToDelete(installed, installed).empty());
  EXPECT_EQ(GetFilesToDelete(Manifest(), installed).size(), installed.files.size());
}

// Whether installed path and newer path name one file on Windows.
struct Spelling {
  const char* installed;
  const char* newer;
  bool oneFile;
};

constexpr Spelling kSpellings[] = {
    {"Lib/Codec.dll", "lib/codec.dll", true},
    {"plugins\\video.dll", "plugins/video.dll", true},
    {"AÇÃO.dll", "ação.dll", true},
    {"Ÿ/ĲŽĹ.txt", "ÿ\\ĳžĺ.txt", true},
    {"Ω.dll", "ω.dll", true},  // Greek, Cyrillic, Armenian, fullwidth, Glagolitic
    {"ЖУК/Ѣ.dll", "жук/ѣ.dll", true},
    {"Ա.dll", "ա.dll", true},
    {"ＡＢ.dll", "ａｂ.dll", true},
    {"Ⰰ.dll", "ⰰ.dll", true},
    {"Σ.dll", "ς.dll", true},  // final sigma
    {"𐐀.dll", "𐐨.dll", false},  // outside the Basic Multilingual Plane
    {"I.dll", "ı.dll", false},  // dotless i, as on Windows
    {"i.dll", "İ.dll", false},
    {"S.dll", "ſ.dll", false},  // long s
    {"ß.dll", "SS.dll", false},
    {"×.dll", "÷.dll", false},  // 0x20 apart, but signs
    {"µ.dll", "Μ.dll", false},  // micro sign and Greek capital mu
    {"é.dll", "e\u0301.dll", false},  // composed and decomposed
    {"a.dll", "a.dll ", false},
    {"a/b.dll", "a//b.dll", false},
    {"a.dll", "b.dll", false},
    // Invalid UTF-8 becomes U+FFFD, one per longest started sequence.
    {"\xFF.dll", "\xFE.dll", true},
    {"\xE2\x82.dll", "\xC0.dll", true},
    {"\xE2\x82.dll", "\xFF\xFF.dll", false},
    {"\xC3.dll", "\xC3\xA9.dll", false},
};

TEST(ManifestComparison, PathsNamingOneFileOnWindowsMatch) {
  for (const Spelling& spelling : kSpellings) {
    SCOPED_TRACE(std::string(spelling.installed) + " / " + spelling.newer);
    const Manifest installed = WithFiles({File(spelling.installed, "old"), File("same", "h")});
    const Manifest newer = WithFiles({File("same", "h"), File(spelling.newer, "new")});
    std::vector<std::string> deleted;
    if (!spelling.oneFile) deleted.push_back(spelling.installed);
    EXPECT_EQ(GetFilesToDelete(newer, installed), deleted);
    // The changed file comes with the newer spelling, as written.
    EXPECT_EQ(Describe(GetFilesToUpdate(newer, installed)),
              std::string(spelling.newer) + "|new|1|true\n");
    const Manifest renamedOnly = WithFiles({File("same", "h"), File(spelling.newer, "old")});
    EXPECT_EQ(GetFilesToUpdate(renamedOnly, installed).empty(), spelling.oneFile);
  }
}

TEST(ManifestComparison, EveryLatinCapitalAndSmallLetterNameOneFile) {
  // Latin-1 Supplement, then Latin Extended-A (capital, small, capital, ...).
  const std::string capitals = "ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖØÙÚÛÜÝÞŸ";
  const std::string smalls = "àáâãäåæçèéêëìíîïðñòóôõöøùúûüýþÿ";
  const std::string pairs =
      "ĀāĂăĄąĆćĈĉĊċČčĎďĐđĒēĔĕĖėĘęĚěĜĝĞğĠġĢģĤĥĦħĨĩĪīĬĭĮįĲĳĴĵĶķĹĺĻļĽľĿŀŁłŃńŅņŇňŊŋŌōŎŏŐőŒœ"
      "ŔŕŖŗŘřŚśŜŝŞşŠšŢţŤťŦŧŨũŪūŬŭŮůŰűŲųŴŵŶŷŹźŻżŽž";
  std::vector<std::pair<std::string, std::string>> letters;
  for (std::size_t at = 0; at < capitals.size(); at += 2) {
    letters.emplace_back(capitals.substr(at, 2), smalls.substr(at, 2));
  }
  for (std::size_t at = 0; at < pairs.size(); at += 4) {
    letters.emplace_back(pairs.substr(at, 2), pairs.substr(at + 2, 2));
  }
  ASSERT_EQ(letters.size(), 31u + 61u);
  Manifest upper = WithFiles({});
  Manifest lower = WithFiles({});
  for (const auto& [capital, small] : letters) {
    upper.files.push_back(File("x" + capital + ".dll", "h"));
    lower.files.push_back(File("X" + small + ".DLL", "h"));
  }
  EXPECT_TRUE(GetFilesToDelete(lower, upper).empty());
  EXPECT_TRUE(GetFilesToUpdate(lower, upper).empty());
  // Distinct letters stay distinct files.
  for (std::size_t left = 0; left < letters.size(); ++left) {
    Manifest without = lower;
    without.files.erase(without.files.begin() + static_cast<std::ptrdiff_t>(left));
    EXPECT_EQ(GetFilesToDelete(without, upper), std::vector<std::string>{upper.files[left].path});
  }
}

// Lists of up to maxFiles entries over a few distinct paths and hashes, so
// repeats and matches are common.
Manifest RandomManifest(std::mt19937& random, int maxFiles) {
  std::uniform_int_distribution<int> count(0, maxFiles);
  std::uniform_int_distribution<int> pick(0, maxFiles / 4 + 3);
  std::bernoulli_distribution coin;
  std::vector<ManifestFile> files(count(random));
  for (ManifestFile& file : files) {
    // The same file in different spellings now and then.
    file.path = std::string(coin(random) ? "p" : "P") + std::to_string(pick(random)) +
                (coin(random) ? "/ç" : "\\Ç");
    file.hash = "h" + std::to_string(pick(random) % 3);
    file.size = static_cast<std::uint32_t>(pick(random));
  }
  return WithFiles(std::move(files));
}

TEST(ManifestComparison, AgreesWithTheDefinitionOnRandomManifests) {
  std::mt19937 random(20240501);
  for (int round = 0; round < 600; ++round) {
    const int maxFiles = round % 3 == 0 ? 400 : 30;
    const Manifest newer = RandomManifest(random, maxFiles);
    const Manifest installed = RandomManifest(random, maxFiles);
    ASSERT_EQ(Describe(GetFilesToUpdate(newer, installed)),
              Describe(FilesToUpdateByDefinition(newer, installed)))
        << "round " << round;
    ASSERT_EQ(GetFilesToDelete(newer, installed), FilesToDeleteByDefinition(newer, installed))
        << "round " << round;
  }
}

}  // namespace
}  // namespace zavex
