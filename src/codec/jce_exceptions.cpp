// The texts of the tagged encoding's errors, one class per kind of failure.
#include "codec/jce_exceptions.h"

#include <cstdarg>
#include <cstdio>

namespace taf {

std::string format_message(const char* format, ...) {
    char text[128];
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return written < 0 ? std::string(format) : std::string(text);
}

}  // namespace taf
