// Conversions between the layer's wide strings and the UTF-8 the system calls take.
#pragma once

#include <string>

#include "platform/posix/win32_posix.h"

namespace tovi_posix {

// UTF-8 form of a wide string (invalid units become U+FFFD).
std::string to_utf8(const wchar_t* text);

// A Win32 path as a POSIX path: UTF-8, every backslash turned into a slash.
std::string native_path(const wchar_t* path);
std::string native_path(const char* path);

// Sets the last error from errno, mapped to the nearest Win32 code.
void set_error_from_errno(int error);
DWORD win32_error_from_errno(int error);

}  // namespace tovi_posix
