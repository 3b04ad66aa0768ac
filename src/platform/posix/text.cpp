// UTF-8 <-> wchar_t (UTF-32 here) for CP_UTF8, with Win32's counting rules.
#include <cstring>
#include <cwchar>

#include "platform/posix/win32_posix.h"

namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one code point at text[0..available). Sets consumed to the bytes used (the maximal
// invalid subpart when the sequence is invalid) and returns false when it is invalid.
bool decode_utf8(const unsigned char* text, size_t available, char32_t* code_point,
                 size_t* consumed) {
    const unsigned char lead = text[0];
    *consumed = 1;
    if (lead < 0x80) {
        *code_point = lead;
        return true;
    }
    size_t length;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        return false;
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= available) {
            return false;
        }
        const unsigned char next = text[i];
        if (next < low || next > high) {
            return false;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3F);
        *consumed = i + 1;
    }
    *code_point = value;
    return true;
}

size_t encode_utf8(char32_t code_point, char* out) {
    if (code_point < 0x80) {
        out[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = static_cast<char>(0xC0 | (code_point >> 6));
        out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (code_point >> 12));
        out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code_point >> 18));
    out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 4;
}

bool is_surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Writes a unit if there is room; counts it either way. Returns false on overflow.
template <class T>
bool put(T* out, int out_length, int* written, const T* units, size_t count) {
    if (out_length != 0) {
        if (*written + static_cast<int>(count) > out_length) {
            return false;
        }
        std::memcpy(out + *written, units, count * sizeof(T));
    }
    *written += static_cast<int>(count);
    return true;
}

bool check_arguments(UINT code_page, DWORD flags, const void* text, int length, int out_length) {
    if (code_page != CP_UTF8) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    if (flags != 0 || text == nullptr || length == 0 || length < -1 || out_length < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int length, LPWSTR out,
                        int out_length) {
    if (!check_arguments(code_page, flags, text, length, out_length)) {
        return 0;
    }
    const size_t size = length == -1 ? std::strlen(text) + 1 : static_cast<size_t>(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    int written = 0;
    for (size_t at = 0; at < size;) {
        char32_t code_point;
        size_t consumed;
        if (!decode_utf8(bytes + at, size - at, &code_point, &consumed)) {
            code_point = replacement;
        }
        const wchar_t unit = static_cast<wchar_t>(code_point);
        if (!put(out, out_length, &written, &unit, 1)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        at += consumed;
    }
    return written;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR text, int length, LPSTR out,
                        int out_length, LPCSTR default_char, LPBOOL used_default_char) {
    if (!check_arguments(code_page, flags, text, length, out_length)) {
        return 0;
    }
    if (default_char != nullptr || used_default_char != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t size = length == -1 ? std::wcslen(text) + 1 : static_cast<size_t>(length);
    int written = 0;
    for (size_t at = 0; at < size; ++at) {
        char32_t code_point = static_cast<char32_t>(text[at]);
        // A UTF-16 pair that reached a UTF-32 string is still one character.
        if (code_point >= 0xD800 && code_point <= 0xDBFF && at + 1 < size &&
            static_cast<char32_t>(text[at + 1]) >= 0xDC00 &&
            static_cast<char32_t>(text[at + 1]) <= 0xDFFF) {
            code_point = 0x10000 + ((code_point - 0xD800) << 10) +
                         (static_cast<char32_t>(text[at + 1]) - 0xDC00);
            ++at;
        } else if (is_surrogate(code_point) || code_point > 0x10FFFF) {
            code_point = replacement;
        }
        char bytes[4];
        if (!put(out, out_length, &written, bytes, encode_utf8(code_point, bytes))) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    return written;
}
