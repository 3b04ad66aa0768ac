#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first
#include <psapi.h>
#include <tlhelp32.h>

#include "support/process_info.h"
#include "support/test_support.h"

namespace tovi_test {

PROCESS_MEMORY_COUNTERS memory_counters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))
               ? counters
               : PROCESS_MEMORY_COUNTERS{};
}

size_t resident_bytes() {
    return memory_counters().WorkingSetSize;
}

size_t peak_resident_bytes() {
    return memory_counters().PeakWorkingSetSize;
}

size_t thread_count() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

unsigned long current_process_id() {
    return GetCurrentProcessId();
}

std::string current_executable() {
    char path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return std::string(path, n);
}

namespace {
std::string quote(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}
}  // namespace

void* start_process(const std::string& executable, const std::vector<std::string>& arguments) {
    std::string command = quote(executable);
    for (const auto& a : arguments) {
        command += " " + quote(a);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool wait_process(void* process, long timeout_ms, int* exit_code) {
    const DWORD r =
        WaitForSingleObject(process, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    if (r != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    *exit_code = static_cast<int>(code);
    return true;
}

void kill_process(void* process) {
    TerminateProcess(process, 137);
}

void release_process(void* process) {
    CloseHandle(process);
}

bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int client_impersonation_level(void* server_pipe) {
    if (running_under_wine() || !ImpersonateNamedPipeClient(server_pipe)) {
        return -1;
    }
    int level = -1;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        SECURITY_IMPERSONATION_LEVEL granted;
        DWORD size = 0;
        if (GetTokenInformation(token, TokenImpersonationLevel, &granted, sizeof(granted), &size)) {
            level = static_cast<int>(granted);
        }
        CloseHandle(token);
    }
    RevertToSelf();
    return level;
}

void raise_open_file_limit() {}  // handles are not limited this way on Windows

}  // namespace tovi_test
