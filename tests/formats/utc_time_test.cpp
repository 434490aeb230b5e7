#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "formats/utc_time.h"

namespace zavex {
namespace {

TEST(UtcTime, ReadsAndWritesKnownInstants) {
  const struct {
    const char* text;
    UtcSeconds seconds;
  } instants[] = {{"1970-01-01T00:00:00Z", 0},
                  {"2000-02-29T12:34:56Z", 951827696},
                  {"2038-01-19T03:14:08Z", 2147483648LL},
                  {"2100-03-01T00:00:00Z", 4107542400LL},
                  {"9999-12-31T23:59:59Z", 253402300799LL}};
  for (const auto& instant : instants) {
    SCOPED_TRACE(instant.text);
    UtcSeconds seconds = -1;
    ASSERT_TRUE(ParseUtcTimestamp(instant.text, seconds));
    EXPECT_EQ(seconds, instant.seconds);
    EXPECT_EQ(FormatUtcTimestamp(instant.seconds), instant.text);
  }
}

TEST(UtcTime, AgreesWithTheCRuntimeOnEveryDayOfFourCenturies) {
  for (UtcSeconds day = 0; day < 146097; ++day) {
    const std::time_t instant = static_cast<std::time_t>(day * 86400 + 3723);
    char expected[32] = {};
    std::strftime(expected, sizeof(expected), "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&instant));
    ASSERT_EQ(FormatUtcTimestamp(day * 86400 + 3723), expected);
    UtcSeconds seconds = -1;
    ASSERT_TRUE(ParseUtcTimestamp(expected, seconds)) << expected;
    ASSERT_EQ(seconds, day * 86400 + 3723);
  }
}

TEST(UtcTime, RefusesEveryOtherText) {
  for (const char* text :
       {"", "2024-05-01", "2024-05-01T00:00:00", "2024-05-01T00:00:00z", "2024-05-01 00:00:00Z",
        "2024-05-01T00:00:00+00:00", "2024-05-01T00:00:00.0Z", " 2024-05-01T00:00:00Z",
        "2024-5-01T00:00:00Z", "2024-13-01T00:00:00Z", "2024-00-10T00:00:00Z",
        "2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2024-04-31T00:00:00Z",
        "2024-05-00T00:00:00Z", "2024-05-01T24:00:00Z", "2024-05-01T00:60:00Z",
        "2024-05-01T00:00:60Z", "1969-12-31T23:59:59Z", "2024-05-01T0a:00:00Z",
        "+024-05-01T00:00:00Z"}) {
    SCOPED_TRACE(text);
    UtcSeconds seconds = 7;
    EXPECT_FALSE(ParseUtcTimestamp(text, seconds));
    EXPECT_EQ(seconds, 7);
  }
  UtcSeconds seconds = 0;
  EXPECT_TRUE(ParseUtcTimestamp("2024-02-29T23:59:59Z", seconds));
}

}  // namespace
}  // namespace zavex
