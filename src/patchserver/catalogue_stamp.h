// CatalogueStamp: what the trusted comment of a catalogue's signature says
// about the catalogue: "serial:N" (a number that grows with every catalogue
// the publisher signs) and "expires:YYYY-MM-DDTHH:MM:SSZ" (UTC), as words
// separated by blanks or tabs among any others. Plain values and functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct CatalogueStamp {
  uint64_t serial = 0;
  int64_t expires = 0;  // seconds since 1970, UTC
};

// False, with the reason in `error`, when either word is missing, given
// twice or malformed (a serial beyond 64 bits, a date that does not exist).
bool ParseCatalogueStamp(std::string_view comment, CatalogueStamp* stamp, std::string* error);

// "serial:N expires:YYYY-MM-DDTHH:MM:SSZ".
std::string FormatCatalogueStamp(const CatalogueStamp& stamp);

// The time in the form "YYYY-MM-DDTHH:MM:SSZ", and back. Parsing accepts
// years 1970 to 9999 only.
std::string FormatUtcTime(int64_t seconds);
bool ParseUtcTime(std::string_view text, int64_t* seconds);
