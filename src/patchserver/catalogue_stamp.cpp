#include "patchserver/catalogue_stamp.h"

#include <ctime>
#include <vector>

namespace {

bool ParseDigits(std::string_view text, uint64_t limit, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool IsLeapYear(uint64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

uint64_t DaysInMonth(uint64_t year, uint64_t month) {
  static const uint64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
int64_t DaysSinceEpoch(uint64_t year, uint64_t month, uint64_t day) {
  int64_t days = 0;
  for (uint64_t y = 1970; y < year; ++y) days += IsLeapYear(y) ? 366 : 365;
  for (uint64_t m = 1; m < month; ++m) days += static_cast<int64_t>(DaysInMonth(year, m));
  return days + static_cast<int64_t>(day) - 1;
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const size_t end = text.find_first_of(" \t", start);
    out.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    at = end == std::string_view::npos ? text.size() : end;
  }
  return out;
}

}  // namespace

bool ParseUtcTime(std::string_view t, int64_t* seconds) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
      t[16] != ':' || t[19] != 'Z') {
    return false;
  }
  uint64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ParseDigits(t.substr(0, 4), 9999, &year) || !ParseDigits(t.substr(5, 2), 12, &month) ||
      !ParseDigits(t.substr(8, 2), 31, &day) || !ParseDigits(t.substr(11, 2), 23, &hour) ||
      !ParseDigits(t.substr(14, 2), 59, &minute) || !ParseDigits(t.substr(17, 2), 59, &second)) {
    return false;
  }
  if (year < 1970 || month < 1 || day < 1 || day > DaysInMonth(year, month)) return false;
  *seconds = DaysSinceEpoch(year, month, day) * 86400 +
             static_cast<int64_t>(hour * 3600 + minute * 60 + second);
  return true;
}

std::string FormatUtcTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[32] = "";
  if (gmtime_r(&t, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return std::string();
  }
  return text;
}

bool ParseCatalogueStamp(std::string_view comment, CatalogueStamp* stamp, std::string* error) {
  bool have_serial = false, have_expires = false;
  CatalogueStamp out;
  for (std::string_view word : Words(comment)) {
    if (word.substr(0, 7) == "serial:") {
      if (have_serial || !ParseDigits(word.substr(7), UINT64_MAX, &out.serial)) {
        *error = have_serial ? "serial: is given twice" : "serial: is not a number";
        return false;
      }
      have_serial = true;
    } else if (word.substr(0, 8) == "expires:") {
      if (have_expires || !ParseUtcTime(word.substr(8), &out.expires)) {
        *error = have_expires ? "expires: is given twice"
                              : "expires: is not a time YYYY-MM-DDTHH:MM:SSZ";
        return false;
      }
      have_expires = true;
    }
  }
  if (!have_serial || !have_expires) {
    *error = "the trusted comment lacks serial: or expires:";
    return false;
  }
  *stamp = out;
  return true;
}

std::string FormatCatalogueStamp(const CatalogueStamp& stamp) {
  return "serial:" + std::to_string(stamp.serial) + " expires:" + FormatUtcTime(stamp.expires);
}
