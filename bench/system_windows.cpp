#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include "system.h"

namespace bench {

long long peak_resident_kb() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return -1;
    return static_cast<long long>(counters.PeakWorkingSetSize / 1024);
}

unsigned long process_id() {
    return static_cast<unsigned long>(GetCurrentProcessId());
}

void raise_open_file_limit() {}  // handles are not limited this way on Windows

bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string placement_description() {
    return "unpinned";
}

std::string system_description() {
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    std::string text = "Windows x64 build";
    if (running_under_wine()) {
        using version_fn = const char*(CDECL*)();
        const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
        auto version = reinterpret_cast<version_fn>(reinterpret_cast<void*>(found));
        text += " under Wine " + std::string(version != nullptr ? version() : "?");
    }
    return text + ", " + std::to_string(info.dwNumberOfProcessors) + " processors";
}

}  // namespace bench
