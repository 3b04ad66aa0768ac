// Small helpers for the conformance tests, written in Win32 calls only.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32.h"

namespace conformance {

// Events created with CreateEventW and closed on destruction.
class scoped_events {
  public:
    scoped_events(size_t count, bool manual_reset) {
        for (size_t i = 0; i < count; ++i) {
            handles_.push_back(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr));
        }
    }
    ~scoped_events() {
        for (HANDLE h : handles_) {
            CloseHandle(h);
        }
    }
    scoped_events(const scoped_events&) = delete;
    scoped_events& operator=(const scoped_events&) = delete;

    HANDLE operator[](size_t i) const { return handles_[i]; }
    const HANDLE* data() const { return handles_.data(); }

  private:
    std::vector<HANDLE> handles_;
};

inline std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

}  // namespace conformance

// Makes the call with the last error cleared and expects its result to be failed and the last
// error to be error right after it.
#define EXPECT_FAILS_WITH(error, failed, call)                     \
    do {                                                           \
        SetLastError(0);                                           \
        const auto tovi_result = (call);                           \
        const DWORD tovi_error = GetLastError();                   \
        EXPECT_EQ(failed, tovi_result) << #call;                   \
        EXPECT_EQ(static_cast<DWORD>(error), tovi_error) << #call; \
    } while (0)
