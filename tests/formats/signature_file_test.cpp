#include <gtest/gtest.h>

#include <string>

#include "formats/base64.h"
#include "formats/signature_file.h"

namespace zavex {
namespace {

ManifestSignature CountingSignature() {
  ManifestSignature signature;
  for (std::size_t index = 0; index < signature.size(); ++index) {
    signature[index] = static_cast<std::uint8_t>(index * 7 + 3);
  }
  return signature;
}

TEST(Base64, MatchesTheStandardVectors) {
  const struct {
    const char* bytes;
    const char* text;
  } vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                 {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                 {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="}};
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector.text);
    EXPECT_EQ(EncodeBase64(vector.bytes), vector.text);
    std::string decoded = "stale";
    ASSERT_TRUE(DecodeBase64(vector.text, decoded));
    EXPECT_EQ(decoded, vector.bytes);
  }
}

TEST(Base64, RefusesEveryOtherSpelling) {
  for (const char* text : {"Zg", "Zg=", "Zg===", "Zh==", "Zm9=", "Zm=v", "=Zm9", "Zm9v====",
                           "Zm9-", "Zm9_", "Zm 9v", "Zm9v\n", "====", "Z==="}) {
    SCOPED_TRACE(text);
    std::string decoded = "kept";
    EXPECT_FALSE(DecodeBase64(text, decoded));
    EXPECT_EQ(decoded, "kept");
  }
}

TEST(SignatureFile, WritesOneLineThatReadsBack) {
  const ManifestSignature signature = CountingSignature();
  const std::string text = WriteSignatureFile(signature);
  EXPECT_EQ(text.size(), 89u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.substr(86), "==\n");
  ManifestSignature read = {};
  ASSERT_TRUE(ReadSignatureFile(text, read));
  EXPECT_EQ(read, signature);
}

TEST(SignatureFile, AcceptsOnlyOneLineWithOneOptionalLineEnd) {
  const std::string line = EncodeBase64(std::string(64, '\x5a'));
  ManifestSignature expected;
  expected.fill(0x5a);
  const struct {
    const char* name;
    std::string text;
    bool accepted;
  } cases[] = {
      {"no line end", line, true},
      {"LF", line + "\n", true},
      {"CRLF", line + "\r\n", true},
      {"empty", "", false},
      {"only a line end", "\n", false},
      {"two line ends", line + "\n\n", false},
      {"a blank line before", "\n" + line, false},
      {"a second line", line + "\n" + line + "\n", false},
      {"CR alone", line + "\r", false},
      {"trailing blank", line + " ", false},
      {"leading blank", " " + line, false},
      {"not base64", std::string(88, '*'), false},
      {"URL-safe alphabet", EncodeBase64(std::string(64, '\xfb')).replace(0, 1, "-"), false},
      {"63 bytes", EncodeBase64(std::string(63, 'a')), false},
      {"65 bytes", EncodeBase64(std::string(65, 'a')), false},
      {"no padding", line.substr(0, 86), false},
      {"unused bits set", line.substr(0, 85) + "h==", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ManifestSignature signature = {};
    EXPECT_EQ(ReadSignatureFile(c.text, signature), c.accepted);
    if (c.accepted) EXPECT_EQ(signature, expected);
  }
}

}  // namespace
}  // namespace zavex
