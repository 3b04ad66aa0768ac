// Conversion of the library's narrow UTF-8 texts (pipe names, client ids, messages) to the
// wide strings that the system's calls and the log take.
#pragma once

#include <cstdint>
#include <string>

// The wide form of length bytes of UTF-8 text, or of the NUL-terminated text when length is
// -1 (the terminator is not part of the result). Empty when text is null, length is below -1
// or the text converts to nothing. Invalid sequences become U+FFFD. Any thread; never throws
// except std::bad_alloc.
//
// The result is UTF-16 on Windows; where wchar_t is 32 bits wide it holds one code point per
// unit.
std::wstring utf8_to_utf16(const char* text, int32_t length);
