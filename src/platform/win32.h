// The one doorway to the operating system.
//
// The library is written against the Win32 API. Core code includes this header and nothing
// else of the system: on Windows it brings in the real headers; elsewhere it declares the
// subset of Win32 that the library calls (same names, types, constant values and error codes)
// and src/platform/posix/ implements it. Code above this header never branches on the
// platform.
#pragma once

#if defined(_WIN32)
#include "platform/windows/win32_windows.h"
#else
#include "platform/posix/win32_posix.h"
#endif
