// UTF-8 texts of the library as the wide strings that the system's calls and the log take.
#include "log/utf8_to_utf16.h"

#include "platform/win32.h"

std::wstring utf8_to_utf16(const char* text, int32_t length) {
    if (text == nullptr || length < -1) {
        return std::wstring();
    }
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
    if (needed <= 0) {
        return std::wstring();
    }
    std::wstring converted(static_cast<size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, text, length, &converted[0], needed);
    converted.resize(written > 0 ? static_cast<size_t>(written) : 0);
    // A length of -1 counts the terminator, which belongs to the C string, not to the text.
    if (length == -1 && !converted.empty() && converted.back() == L'\0') {
        converted.pop_back();
    }
    return converted;
}
