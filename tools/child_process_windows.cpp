#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include "child_process.h"

namespace toviipc {

struct child_process::native {
    HANDLE process = nullptr;
    DWORD id = 0;
    bool ended = false;
    int status = -1;
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE errors = nullptr;
    std::string pending;  // output read past the last line handed out
};

namespace {

void close_handle(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

std::wstring wide(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// One argument of a command line, quoted so that the child's C runtime splits it back as it
// was (backslashes doubled only where a quote follows them).
std::wstring quoted(const std::wstring& argument) {
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

// A pipe whose end for this process is not inherited.
bool make_pipe(HANDLE* ours, HANDLE* theirs, bool child_reads) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        return false;
    }
    *ours = child_reads ? write_end : read_end;
    *theirs = child_reads ? read_end : write_end;
    SetHandleInformation(*ours, HANDLE_FLAG_INHERIT, 0);
    return true;
}

bool read_some(HANDLE from, std::string* into) {
    char buffer[4096];
    DWORD n = 0;
    if (from == nullptr || !ReadFile(from, buffer, sizeof(buffer), &n, nullptr) || n == 0) {
        return false;
    }
    into->append(buffer, n);
    return true;
}

}  // namespace

child_process::child_process() : native_(new native) {}

child_process::~child_process() {
    kill();
    close_handle(native_->input);
    close_handle(native_->output);
    close_handle(native_->errors);
    close_handle(native_->process);
}

bool child_process::start(const std::string& executable, const std::vector<std::string>& arguments,
                          bool capture_errors) {
    HANDLE child_in = nullptr;
    HANDLE child_out = nullptr;
    HANDLE child_err = nullptr;
    if (!make_pipe(&native_->input, &child_in, true) ||
        !make_pipe(&native_->output, &child_out, false) ||
        (capture_errors && !make_pipe(&native_->errors, &child_err, false))) {
        close_handle(child_in);
        close_handle(child_out);
        return false;
    }
    std::wstring command = quoted(wide(executable));
    for (const std::string& a : arguments) {
        command += L" " + quoted(wide(a));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = capture_errors ? child_err : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &info);
    close_handle(child_in);
    close_handle(child_out);
    close_handle(child_err);
    if (!started) {
        return false;
    }
    CloseHandle(info.hThread);
    native_->process = info.hProcess;
    native_->id = info.dwProcessId;
    return true;
}

bool child_process::write_input(const std::string& text) {
    DWORD n = 0;
    return native_->input != nullptr &&
           WriteFile(native_->input, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) &&
           n == text.size();
}

void child_process::close_input() {
    close_handle(native_->input);
}

bool child_process::read_line(std::string* line) {
    std::string& pending = native_->pending;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line->assign(pending, 0, end > 0 && pending[end - 1] == '\r' ? end - 1 : end);
            pending.erase(0, end + 1);
            return true;
        }
        if (!read_some(native_->output, &pending)) {
            if (pending.empty()) {
                return false;
            }
            line->swap(pending);
            pending.clear();
            return true;
        }
    }
}

std::string child_process::read_errors() {
    std::string all;
    while (read_some(native_->errors, &all)) {
    }
    return all;
}

bool child_process::interrupt() {
    return false;
}

bool child_process::suspend() {
    if (native_->process == nullptr || native_->ended) {
        return false;
    }
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (threads == INVALID_HANDLE_VALUE) {
        return false;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    int suspended = 0;
    for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry)) {
        if (entry.th32OwnerProcessID != native_->id) {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
        if (thread != nullptr) {
            suspended += SuspendThread(thread) != static_cast<DWORD>(-1) ? 1 : 0;
            CloseHandle(thread);
        }
    }
    CloseHandle(threads);
    return suspended > 0;
}

void child_process::kill() {
    if (native_->process == nullptr || native_->ended) {
        return;
    }
    TerminateProcess(native_->process, 137);
    wait(std::chrono::milliseconds(10000));
}

unsigned long child_process::id() const {
    return native_->id;
}

int child_process::wait(std::chrono::milliseconds timeout) {
    if (native_->process == nullptr) {
        return -1;
    }
    if (!native_->ended) {
        if (WaitForSingleObject(native_->process, static_cast<DWORD>(timeout.count())) !=
            WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(native_->process, &code);
        native_->ended = true;
        native_->status = static_cast<int>(code);
    }
    return native_->status;
}

std::string current_executable() {
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(nullptr, path, 32768);
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), &out[0], size, nullptr, nullptr);
    return out;
}

}  // namespace toviipc
