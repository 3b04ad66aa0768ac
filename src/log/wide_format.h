// A small printf-style formatter for the library's wide log formats.
//
// The library's formats follow the Windows convention, whatever the build: "%s" takes a wide
// string, and "%d", "%u" and "%X" take 32-bit integers (an "l" modifier changes nothing, as
// long is 32 bits on Windows). The C libraries disagree about wide "%s", so the logger formats
// with this code on every build and both builds write the same bytes.
//
// Conversions understood:
//   %d %i   int32_t, decimal, with a '-' when negative
//   %u      uint32_t, decimal
//   %x %X   uint32_t, hexadecimal in lower or upper case
//   %s      const wchar_t*; a null pointer prints "(null)"
//   %%      a percent sign
// An optional precision (".N") gives an integer's minimum number of digits (zero-padded; this
// is how "%.8X" prints the low 32 bits of an address as 8 digits) or a string's maximum
// length. Anything else after a '%' (flags, widths, other conversions) is copied as it stands
// and consumes no argument.
//
// Differs from the Windows C library: an invalid (non-null) "%s" pointer cannot be contained;
// callers pass valid strings.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Appends the formatted text to out, at most max_units units of it; the rest is cut off.
// Thread-safe (no shared state). Never throws except std::bad_alloc from out.
void append_wide_format(std::wstring& out, size_t max_units, const wchar_t* format,
                        va_list arguments);

// The same, with the arguments given directly.
void append_wide_format_args(std::wstring& out, size_t max_units, const wchar_t* format, ...);
