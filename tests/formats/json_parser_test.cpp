#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "formats/json_parser.h"

namespace zavex {
namespace {

JsonValue Parse(const std::string& text) { return JsonParser(text).ParseValue(); }

// "kind: message" of what reading text throws, or "no error".
std::string ErrorOf(const std::string& text) {
  try {
    Parse(text);
  } catch (const std::invalid_argument& error) {
    return std::string("invalid_argument: ") + error.what();
  } catch (const std::out_of_range& error) {
    return std::string("out_of_range: ") + error.what();
  } catch (const std::runtime_error& error) {
    return std::string("runtime_error: ") + error.what();
  }
  return "no error";
}

std::string StringOf(const std::string& text) { return Parse(text).AsString(); }
double NumberOf(const std::string& text) { return Parse(text).AsNumber(); }

TEST(JsonParser, NoValueNamesThePositionAfterTheBlanks) {
  EXPECT_EQ(ErrorOf(""), "runtime_error: Invalid JSON at position 0");
  EXPECT_EQ(ErrorOf(" \t\n\v\f\r"), "runtime_error: Invalid JSON at position 6");
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBF{}"), "runtime_error: Invalid JSON at position 0");
  EXPECT_EQ(ErrorOf("  x"), "runtime_error: Invalid JSON at position 2");
  EXPECT_EQ(ErrorOf("\xA0" "1"), "runtime_error: Invalid JSON at position 0");
  EXPECT_EQ(ErrorOf("[1,]"), "runtime_error: Invalid JSON at position 3");
  EXPECT_EQ(ErrorOf("[1, \n]"), "runtime_error: Invalid JSON at position 5");
  EXPECT_EQ(ErrorOf("["), "runtime_error: Invalid JSON at position 1");
  EXPECT_EQ(ErrorOf("{\"a\":}"), "runtime_error: Invalid JSON at position 5");
  EXPECT_EQ(ErrorOf(std::string("[\0]", 3)), "runtime_error: Invalid JSON at position 1");
  EXPECT_EQ(ErrorOf("+1"), "runtime_error: Invalid JSON at position 0");
}

TEST(JsonParser, StructureErrors) {
  EXPECT_EQ(ErrorOf("{\"a\":1,}"), "runtime_error: Expected string key in object");
  EXPECT_EQ(ErrorOf("{a:1}"), "runtime_error: Expected string key in object");
  EXPECT_EQ(ErrorOf("{"), "runtime_error: Expected string key in object");
  EXPECT_EQ(ErrorOf("{\"a\" 1}"), "runtime_error: Expected ':' after object key");
  EXPECT_EQ(ErrorOf("{\"a\""), "runtime_error: Expected ':' after object key");
  EXPECT_EQ(ErrorOf("{\"a\":1 \"b\":2}"), "runtime_error: Expected ',' or '}' in object");
  EXPECT_EQ(ErrorOf("{\"a\":1"), "runtime_error: Expected ',' or '}' in object");
  EXPECT_EQ(ErrorOf("{\"a\":1]"), "runtime_error: Expected ',' or '}' in object");
  EXPECT_EQ(ErrorOf("[1 2]"), "runtime_error: Expected ',' or ']' in array");
  EXPECT_EQ(ErrorOf("[1"), "runtime_error: Expected ',' or ']' in array");
  EXPECT_EQ(ErrorOf("[1}"), "runtime_error: Expected ',' or ']' in array");
  EXPECT_EQ(ErrorOf("[trueish]"), "runtime_error: Expected ',' or ']' in array");
}

TEST(JsonParser, LiteralWordsAreStrict) {
  EXPECT_EQ(ErrorOf("nul"), "runtime_error: Invalid null value");
  EXPECT_EQ(ErrorOf("nulL"), "runtime_error: Invalid null value");
  EXPECT_EQ(ErrorOf("tru"), "runtime_error: Invalid boolean value");
  EXPECT_EQ(ErrorOf("True"), "runtime_error: Invalid JSON at position 0");
  EXPECT_EQ(ErrorOf("fals"), "runtime_error: Invalid boolean value");
  EXPECT_EQ(ErrorOf("[f]"), "runtime_error: Invalid boolean value");
  EXPECT_EQ(Parse("null").Type(), JsonType::Null);
  EXPECT_TRUE(Parse("true").AsBool());
  EXPECT_FALSE(Parse("false").AsBool());
  // Only the letters of the word are compared; at the top level the rest is ignored.
  EXPECT_TRUE(Parse("trueish").AsBool());
  EXPECT_EQ(Parse("nullx").Type(), JsonType::Null);
}

TEST(JsonParser, StringErrors) {
  EXPECT_EQ(ErrorOf("\"abc"), "runtime_error: Unterminated string");
  EXPECT_EQ(ErrorOf(std::string("\"a\0b\"", 5)), "runtime_error: Unterminated string");
  EXPECT_EQ(ErrorOf("\"a\\"), "runtime_error: Unterminated string");
  EXPECT_EQ(ErrorOf("\"a\\\""), "runtime_error: Unterminated string");
  EXPECT_EQ(ErrorOf("\"\\u00"), "runtime_error: Unterminated string");
  EXPECT_EQ(ErrorOf("\"\\u\""), "invalid_argument: invalid stoi argument");
  EXPECT_EQ(ErrorOf("\"\\uZZZZ\""), "invalid_argument: invalid stoi argument");
  EXPECT_EQ(ErrorOf("\"\\u-x00\""), "invalid_argument: invalid stoi argument");
  EXPECT_EQ(ErrorOf("\"\\u \xA0" "12\""), "invalid_argument: invalid stoi argument");
}

TEST(JsonParser, NumberErrors) {
  EXPECT_EQ(ErrorOf("-"), "invalid_argument: invalid stod argument");
  EXPECT_EQ(ErrorOf("-x"), "invalid_argument: invalid stod argument");
  EXPECT_EQ(ErrorOf("-.e5"), "invalid_argument: invalid stod argument");
  EXPECT_EQ(ErrorOf("1e400"), "out_of_range: stod argument out of range");
  EXPECT_EQ(ErrorOf("-1e400"), "out_of_range: stod argument out of range");
  EXPECT_EQ(ErrorOf("[1, 1e999]"), "out_of_range: stod argument out of range");
  EXPECT_EQ(ErrorOf("1e-400"), "out_of_range: stod argument out of range");
}

TEST(JsonParser, NumbersAreLenient) {
  EXPECT_EQ(NumberOf("007"), 7.0);
  EXPECT_EQ(NumberOf("-.5"), -0.5);
  EXPECT_EQ(NumberOf("1."), 1.0);
  EXPECT_EQ(NumberOf("1e"), 1.0);
  EXPECT_EQ(NumberOf("1E+"), 1.0);
  EXPECT_EQ(NumberOf("2.5e3"), 2500.0);
  EXPECT_EQ(NumberOf("25E-1"), 2.5);
  EXPECT_EQ(NumberOf("3.9"), 3.9);
  EXPECT_EQ(NumberOf("4294967295"), 4294967295.0);
  EXPECT_TRUE(std::signbit(NumberOf("-0")));

  JsonParser parser("1e,");
  EXPECT_EQ(parser.ParseValue().AsNumber(), 1.0);
  EXPECT_EQ(parser.Position(), 2u);  // the unused "e" has been stepped over
  JsonParser digitsThenLetters("12abc");
  EXPECT_EQ(digitsThenLetters.ParseValue().AsNumber(), 12.0);
  EXPECT_EQ(digitsThenLetters.Position(), 2u);
}

TEST(JsonParser, EscapesResolveToBytes) {
  EXPECT_EQ(StringOf("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(StringOf("\"\\x\\q\\'\""), "xq'");
  EXPECT_EQ(StringOf("\"\\u0041\""), "A");
  EXPECT_EQ(StringOf("\"\\u00e9\""), "\xC3\xA9");
  EXPECT_EQ(StringOf("\"\\u00E9\""), "\xC3\xA9");
  EXPECT_EQ(StringOf("\"\\u007f\\u0080\""), "\x7F\xC2\x80");
  EXPECT_EQ(StringOf("\"\\u07ff\\u0800\""), "\xDF\xBF\xE0\xA0\x80");
  EXPECT_EQ(StringOf("\"\\uffff\""), "\xEF\xBF\xBF");
  EXPECT_EQ(StringOf("\"\\ud83d\\ude00\""), "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(StringOf("\"\\u0000\""), std::string(1, '\0'));
  EXPECT_EQ(StringOf("\"a\tb\x01\xC3\xA9\xFF\""), "a\tb\x01\xC3\xA9\xFF");
  EXPECT_EQ(StringOf("\"\""), "");
}

TEST(JsonParser, HexEscapeFollowsIntegerConversionRules) {
  // Four bytes are consumed whatever the conversion used.
  EXPECT_EQ(StringOf("\"\\u41zz!\""), "A!");
  EXPECT_EQ(StringOf("\"\\u 0x1\""), "\x01");
  EXPECT_EQ(StringOf("\"\\u0x7e\""), "~");
  EXPECT_EQ(StringOf("\"\\u+041\""), "A");
  EXPECT_EQ(StringOf("\"\\u\t\n42\""), "B");
  EXPECT_EQ(StringOf("\"\\u-001\""), "\xFF");
  EXPECT_EQ(StringOf("\"\\u0xz1!\""), std::string("\0!", 2));
}

TEST(JsonParser, DocumentsAreLenientAboutTextAroundThem) {
  const JsonValue empty = Parse("{} and more words");
  ASSERT_EQ(empty.Type(), JsonType::Object);
  EXPECT_TRUE(empty.AsObject().empty());
  EXPECT_EQ(Parse("[1, 2] ]] garbage").AsArray().size(), 2u);
  EXPECT_EQ(Parse("\v\f{\r\"a\"\t:\n1 }").Find("a")->AsNumber(), 1.0);
  EXPECT_EQ(Parse("[ ]").AsArray().size(), 0u);
  EXPECT_EQ(Parse("{ }").AsObject().size(), 0u);

  JsonParser parser("  \v x");
  EXPECT_EQ(parser.SkipWhitespace(), 4u);
}

TEST(JsonParser, ObjectsKeepTheLastOfRepeatedKeysInByteOrder) {
  const JsonValue twice = Parse("{\"a\": 1, \"a\": 2}");
  ASSERT_EQ(twice.AsObject().size(), 1u);
  EXPECT_EQ(twice.Find("a")->AsNumber(), 2.0);

  const JsonValue object = Parse("{\"b\": 1, \"a\": [true, null, \"x\"], \"B\": {}}");
  std::string keys;
  for (const auto& member : object.AsObject()) keys += member.first;
  EXPECT_EQ(keys, "Bab");
  const JsonArray& array = object.Find("a")->AsArray();
  ASSERT_EQ(array.size(), 3u);
  EXPECT_EQ(array[0].Type(), JsonType::Bool);
  EXPECT_EQ(array[1].Type(), JsonType::Null);
  EXPECT_EQ(array[2].AsString(), "x");
  EXPECT_EQ(object.Find("B")->Type(), JsonType::Object);
  EXPECT_EQ(object.Find("c"), nullptr);
  EXPECT_EQ(array[2].Find("a"), nullptr);
}

TEST(JsonParser, NestingIsCapped) {
  const std::string deepest(kMaxJsonNesting, '[');
  EXPECT_EQ(ErrorOf(deepest + std::string(kMaxJsonNesting, ']')), "no error");
  EXPECT_EQ(ErrorOf("[" + deepest + "]" + std::string(kMaxJsonNesting, ']')),
            "runtime_error: JSON nesting too deep");

  std::string objects;
  for (int level = 0; level <= kMaxJsonNesting; ++level) objects += "{\"a\":";
  EXPECT_EQ(ErrorOf(objects), "runtime_error: JSON nesting too deep");
  EXPECT_EQ(ErrorOf(std::string(1000000, '[')), "runtime_error: JSON nesting too deep");

  // Siblings do not add up: the level is released when an array closes.
  std::string siblings = "[";
  for (int index = 0; index < 2 * kMaxJsonNesting; ++index) siblings += "[[]],";
  EXPECT_EQ(ErrorOf(siblings + "0]"), "no error");
}

}  // namespace
}  // namespace zavex
