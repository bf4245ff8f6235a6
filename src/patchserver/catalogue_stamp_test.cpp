#include "patchserver/catalogue_stamp.h"

#include <gtest/gtest.h>

namespace {

TEST(CatalogueStamp, TimesInTheirOneForm) {
  struct {
    const char* text;
    bool valid;
    int64_t seconds;
  } cases[] = {
      {"1970-01-01T00:00:00Z", true, 0},          {"2000-02-29T12:34:56Z", true, 951827696},
      {"2038-01-19T03:14:08Z", true, 2147483648}, {"9999-12-31T23:59:59Z", true, 253402300799},
      {"1900-02-28T00:00:00Z", false, 0},         {"1969-12-31T23:59:59Z", false, 0},
      {"2001-02-29T00:00:00Z", false, 0},         {"2100-02-29T00:00:00Z", false, 0},
      {"2024-04-31T00:00:00Z", false, 0},         {"2024-13-01T00:00:00Z", false, 0},
      {"2024-00-01T00:00:00Z", false, 0},         {"2024-01-00T00:00:00Z", false, 0},
      {"2024-01-01T24:00:00Z", false, 0},         {"2024-01-01T23:60:00Z", false, 0},
      {"2024-01-01T23:59:60Z", false, 0},         {"2024-01-01T00:00:00", false, 0},
      {"2024-01-01 00:00:00Z", false, 0},         {"2024-1-01T00:00:00Z", false, 0},
      {"2024-01-01T00:00:0+Z", false, 0},         {"", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t seconds = -1;
    EXPECT_EQ(ParseUtcTime(c.text, &seconds), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(seconds, c.seconds);
    EXPECT_EQ(FormatUtcTime(seconds), c.text);
  }
}

TEST(CatalogueStamp, SerialAndExpiryAmongOtherWords) {
  const int64_t y2100 = 4102444800;
  struct {
    const char* name;
    std::string comment;
    std::string error;  // empty: valid
    uint64_t serial;
  } cases[] = {
      {"both", "serial:5 expires:2100-01-01T00:00:00Z", "", 5},
      {"among the minisign program's words, tabs between",
       "timestamp:1700000000\tfile:patches.txt\tserial:18446744073709551615 "
       "expires:2100-01-01T00:00:00Z\thashed",
       "", UINT64_MAX},
      {"leading and trailing blanks", "  expires:2100-01-01T00:00:00Z  serial:0 ", "", 0},
      {"serial beyond 64 bits", "serial:18446744073709551616 expires:2100-01-01T00:00:00Z",
       "serial: is not a number", 0},
      {"negative serial", "serial:-1 expires:2100-01-01T00:00:00Z", "serial: is not a number", 0},
      {"empty serial", "serial: expires:2100-01-01T00:00:00Z", "serial: is not a number", 0},
      {"serial twice", "serial:1 serial:2 expires:2100-01-01T00:00:00Z", "serial: is given twice",
       0},
      {"expires twice", "serial:1 expires:2100-01-01T00:00:00Z expires:2100-01-01T00:00:00Z",
       "expires: is given twice", 0},
      {"bad time", "serial:1 expires:2100-01-01", "expires: is not a time YYYY-MM-DDTHH:MM:SSZ", 0},
      {"no serial", "expires:2100-01-01T00:00:00Z",
       "the trusted comment lacks serial: or expires:", 0},
      {"no expiry", "serial:1", "the trusted comment lacks serial: or expires:", 0},
      {"words that only look alike", "Serial:1 expires:2100-01-01T00:00:00Z",
       "the trusted comment lacks serial: or expires:", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CatalogueStamp stamp;
    std::string error;
    EXPECT_EQ(ParseCatalogueStamp(c.comment, &stamp, &error), c.error.empty());
    EXPECT_EQ(error, c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(stamp.serial, c.serial);
    EXPECT_EQ(stamp.expires, y2100);
    CatalogueStamp again;
    ASSERT_TRUE(ParseCatalogueStamp(FormatCatalogueStamp(stamp), &again, &error));
    EXPECT_EQ(again.serial, stamp.serial);
    EXPECT_EQ(again.expires, stamp.expires);
  }
}

}  // namespace
