#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "formats/content_range.h"

namespace zavex {
namespace {

TEST(ContentRange, ReadDecimalStopsAtTheFirstNonDigitAndSaturates) {
  const struct {
    const wchar_t* text;
    size_t start;
    std::optional<uint64_t> value;
    size_t end;
  } cases[] = {
      {L"0", 0, 0, 1},
      {L"123/4", 0, 123, 3},
      {L"x12", 1, 12, 3},
      {L"", 0, std::nullopt, 0},
      {L"-5", 0, std::nullopt, 0},
      {L"18446744073709551615", 0, UINT64_MAX, 20},
      {L"18446744073709551616", 0, UINT64_MAX, 20},
      {L"99999999999999999999999", 0, UINT64_MAX, 23},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << "text: " << test.text);
    size_t at = test.start;
    EXPECT_EQ(ReadDecimal(test.text, at), test.value);
    EXPECT_EQ(at, test.end);
  }
}

TEST(ContentRange, ContentLengthIsDigitsOnly) {
  EXPECT_EQ(ReadContentLength(L"10"), 10u);
  EXPECT_EQ(ReadContentLength(L"107374182400"), 107374182400u);
  EXPECT_EQ(ReadContentLength(L""), std::nullopt);
  EXPECT_EQ(ReadContentLength(L"10 "), std::nullopt);
  EXPECT_EQ(ReadContentLength(L"+10"), std::nullopt);
}

TEST(ContentRange, ContinuesOnlyWithTheRestOfTheExpectedFile) {
  const std::optional<uint64_t> none;
  const struct {
    const wchar_t* text;
    uint64_t from;
    std::optional<uint64_t> size;
    bool continues;
  } cases[] = {
      {L"bytes 4-9/10", 4, 10, true},
      {L"bytes 4-9/10", 4, none, true},
      {L"bytes 0-9/10", 0, 10, true},
      {L"bytes 4-9/10", 5, 10, false},
      {L"bytes 4-9/10", 4, 11, false},
      {L"bytes 4-8/10", 4, 10, false},
      {L"bytes 4-9/*", 4, 10, false},
      {L"bytes */10", 4, 10, false},
      {L"bytes 4-/10", 4, 10, false},
      {L"bytes 4-9", 4, 10, false},
      {L"bytes 4-9/", 4, 10, false},
      {L"bytes 4", 4, 10, false},
      {L"bytes 4-9/10 ", 4, 10, false},
      {L"Bytes 4-9/10", 4, 10, false},
      {L"4-9/10", 4, 10, false},
      {L"", 0, none, false},
      // The last byte's number saturates, so last + 1 cannot wrap to total.
      {L"bytes 1-18446744073709551615/0", 1, none, false},
      {L"bytes 1-99999999999999999999/18446744073709551615", 1, none, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(testing::Message() << "Content-Range: " << test.text << ", from " << test.from);
    EXPECT_EQ(ContinuesAt(test.text, test.from, test.size), test.continues);
  }
}

}  // namespace
}  // namespace zavex
