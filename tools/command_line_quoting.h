// Windows command lines: one argument quoted so that the child's C runtime splits it back as
// it was (backslashes doubled only where a quote follows them). Used by the tool and the
// benchmark to start their child processes.
#pragma once

#include <string>

namespace toviipc {

inline std::wstring quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

}  // namespace toviipc
