#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include "command_line_quoting.h"
#include "system.h"

namespace bench {

using toviipc::quoted;

struct child::native {
    HANDLE process = nullptr;
    DWORD id = 0;
    HANDLE output = nullptr;  // read end of the child's standard output
    HANDLE input = nullptr;   // write end of the child's standard input
    bool ended = false;
    int exit_code = -1;
};

namespace {

void close_handle(HANDLE& h) {
    if (h != nullptr)
        CloseHandle(h);
    h = nullptr;
}

}  // namespace

child::child(const std::vector<std::string>& arguments) : native_(new native) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out_read = nullptr, out_write = nullptr, in_read = nullptr, in_write = nullptr;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0))
        return;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
        close_handle(out_read);
        close_handle(out_write);
        return;
    }
    // Only the child's ends are inherited.
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);

    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring command = quoted(std::wstring(path, length));
    for (const std::string& a : arguments)
        command += L" " + quoted(std::wstring(a.begin(), a.end()));  // ASCII: made here
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        native_->process = info.hProcess;
        native_->id = info.dwProcessId;
        native_->output = out_read;
        native_->input = in_write;
    } else {
        close_handle(out_read);
        close_handle(in_write);
    }
    close_handle(out_write);
    close_handle(in_read);
}

child::~child() {
    kill();
    close_handle(native_->output);
    close_handle(native_->input);
    close_handle(native_->process);
}

bool child::started() const {
    return native_->process != nullptr;
}

unsigned long child::id() const {
    return native_->id;
}

size_t child::read_output(char* buffer, size_t size) {
    DWORD got = 0;
    if (native_->output == nullptr ||
        !ReadFile(native_->output, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        return 0;
    }
    return got;
}

void child::kill() {
    if (started() && !native_->ended) {
        TerminateProcess(native_->process, 137);
        wait();
    }
}

void child::close_input() {
    close_handle(native_->input);
}

int child::wait() {
    native* n = native_.get();
    if (n->ended || n->process == nullptr)
        return n->exit_code;
    WaitForSingleObject(n->process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(n->process, &code);
    n->ended = true;
    n->exit_code = static_cast<int>(code);
    return n->exit_code;
}

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
