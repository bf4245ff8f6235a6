// Conversions between the program's wide strings and the UTF-8 and UTF-16LE
// byte forms that Linux file names, standard output and the console pipe use.
// Pure functions, safe on any thread.
#pragma once

#include <string>

namespace TarvText {

// UTF-8 form of a wide string. Code points 0xDC80..0xDCFF stand for single
// bytes that were not valid UTF-8 when decoded by FromUtf8 and become those
// bytes again, so names read from disk survive a round trip.
std::string ToUtf8(const std::wstring& text);

// Wide form of UTF-8 bytes; each byte that is not part of a valid sequence
// becomes 0xDC00 + byte.
std::wstring FromUtf8(const std::string& bytes);

// UTF-16LE bytes of a wide string (surrogate pairs above 0xFFFF), without a
// terminating zero.
std::string ToUtf16Le(const std::wstring& text);

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool IsValidUtf8(const std::string& bytes);

}  // namespace TarvText
