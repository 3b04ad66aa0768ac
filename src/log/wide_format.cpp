// The log's printf-style formatting of wide text, with the Windows meaning of %s on every
// build, cut at a limit.
#include "log/wide_format.h"

#include <cstdint>

namespace {

// Output that stops accepting units once its limit is reached.
class bounded_output {
  public:
    bounded_output(std::wstring& out, size_t max_units) : out_(out), room_(max_units) {}

    bool full() const { return room_ == 0; }

    void put(wchar_t unit) {
        if (room_ != 0) {
            out_.push_back(unit);
            --room_;
        }
    }

    void put(const wchar_t* text, size_t count) {
        const size_t taken = count < room_ ? count : room_;
        out_.append(text, taken);
        room_ -= taken;
    }

  private:
    std::wstring& out_;
    size_t room_;
};

// Writes an unsigned magnitude in the given base, with at least min_digits digits.
void put_number(bounded_output& out, bool negative, uint64_t magnitude, unsigned base,
                bool upper_case, int min_digits) {
    const wchar_t* digits = upper_case ? L"0123456789ABCDEF" : L"0123456789abcdef";
    wchar_t reversed[24];
    int count = 0;
    while (magnitude != 0) {
        reversed[count++] = digits[magnitude % base];
        magnitude /= base;
    }
    if (negative) {
        out.put(L'-');
    }
    for (int pad = min_digits - count; pad > 0; --pad) {
        out.put(L'0');
    }
    while (count > 0) {
        out.put(reversed[--count]);
    }
}

// Reads the optional precision (".N") and length modifier ("l") of a conversion, from just
// after its '%'; returns where the specifier stands. precision is -1 when none was given.
const wchar_t* read_modifiers(const wchar_t* p, int* precision) {
    *precision = -1;
    if (*p == L'.') {
        ++p;
        *precision = 0;
        while (*p >= L'0' && *p <= L'9') {
            // Bounded so that a silly precision cannot overflow; the output is cut anyway.
            if (*precision < 100000) {
                *precision = *precision * 10 + (*p - L'0');
            }
            ++p;
        }
    }
    return *p == L'l' ? p + 1 : p;
}

// Writes the argument of one conversion, [conversion, specifier] in the format. Returns false
// for a specifier that is not ours, which takes no argument.
bool put_argument(bounded_output& out, wchar_t specifier, int precision, va_list* arguments) {
    // An integer's default precision is 1 digit: zero prints as "0".
    const int min_digits = precision < 0 ? 1 : precision;
    switch (specifier) {
        case L'd':
        case L'i': {
            const int64_t value = va_arg(*arguments, int32_t);
            put_number(out, value < 0, static_cast<uint64_t>(value < 0 ? -value : value), 10, false,
                       min_digits);
            return true;
        }
        case L'u':
            put_number(out, false, va_arg(*arguments, uint32_t), 10, false, min_digits);
            return true;
        case L'x':
        case L'X':
            put_number(out, false, va_arg(*arguments, uint32_t), 16, specifier == L'X', min_digits);
            return true;
        case L's': {
            const wchar_t* text = va_arg(*arguments, const wchar_t*);
            if (text == nullptr) {
                text = L"(null)";
            }
            size_t length = 0;
            while (text[length] != L'\0' &&
                   (precision < 0 || length < static_cast<size_t>(precision))) {
                ++length;
            }
            out.put(text, length);
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

void append_wide_format(std::wstring& out_text, size_t max_units, const wchar_t* format,
                        va_list arguments) {
    if (format == nullptr) {
        return;
    }
    va_list pending;  // a copy of our own, so that the helpers may take arguments from it
    va_copy(pending, arguments);
    bounded_output out(out_text, max_units);
    const wchar_t* p = format;
    while (*p != L'\0' && !out.full()) {
        if (*p != L'%') {
            const wchar_t* plain = p;
            while (*p != L'\0' && *p != L'%') {
                ++p;
            }
            out.put(plain, static_cast<size_t>(p - plain));
            continue;
        }
        const wchar_t* conversion = p++;
        if (*p == L'%') {
            out.put(L'%');
            ++p;
            continue;
        }
        int precision = -1;
        p = read_modifiers(p, &precision);
        if (!put_argument(out, *p, precision, &pending)) {
            // Not one of ours: copied as it stands, so nothing is silently lost.
            out.put(conversion, static_cast<size_t>(p - conversion) + (*p != L'\0' ? 1 : 0));
        }
        if (*p != L'\0') {
            ++p;
        }
    }
    va_end(pending);
}

void append_wide_format_args(std::wstring& out, size_t max_units, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    append_wide_format(out, max_units, format, arguments);
    va_end(arguments);
}
