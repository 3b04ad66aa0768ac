// One open log file: the pending text, the writer thread that writes it as UTF-8, and rotation.
#include "log/file_logger.h"

#include <atomic>
#include <cstdint>
#include <new>

#include "log/log_testing.h"
#include "platform/scoped_critical_section.h"

namespace {

constexpr int32_t max_log_file_bytes = 31457280;  // 30 MiB
constexpr size_t max_pending_units = 5242880;
constexpr DWORD writer_wake_ms = 300;
constexpr DWORD close_wait_ms = 500;

std::atomic<int32_t> rotation_threshold_bytes{max_log_file_bytes};

// The text before the last backslash or, when there is none, before the last slash.
std::wstring directory_of(const std::wstring& path) {
    size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring::npos) {
        separator = path.find_last_of(L'/');
    }
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring file_name_of(const std::wstring& path) {
    size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring::npos) {
        separator = path.find_last_of(L'/');
    }
    return separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
}

bool is_directory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates the directory with all its missing parents unless it exists.
bool ensure_directory(const std::wstring& directory) {
    if (is_directory(directory)) {
        return true;
    }
    const int result = SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
    // Someone else may have created it in between.
    return result == ERROR_SUCCESS || (result == ERROR_ALREADY_EXISTS && is_directory(directory));
}

bool file_exists(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"r");
    if (file == nullptr) {
        return false;
    }
    fclose(file);
    return true;
}

}  // namespace

void set_log_rotation_threshold_for_testing(int32_t bytes) {
    rotation_threshold_bytes = bytes;
}

void reset_log_rotation_threshold_for_testing() {
    rotation_threshold_bytes = max_log_file_bytes;
}

file_logger::file_logger() {
    InitializeCriticalSection(&lock_);
}

file_logger::~file_logger() {
    // Only a logger whose writer never started still has its file here.
    if (file_ != nullptr) {
        fclose(file_);
    }
    if (data_event_ != nullptr) {
        CloseHandle(data_event_);
    }
    DeleteCriticalSection(&lock_);
}

std::shared_ptr<file_logger> file_logger::open(const std::wstring& path) {
    std::shared_ptr<file_logger> logger(new (std::nothrow) file_logger());
    if (logger == nullptr || !logger->open_file(path) || !logger->start_writer(logger)) {
        return nullptr;
    }
    return logger;
}

bool file_logger::open_file(const std::wstring& path) {
    if (!ensure_directory(directory_of(path))) {
        return false;
    }
    file_ = _wfopen(path.c_str(), L"a+bN");
    if (file_ == nullptr) {
        return false;
    }
    path_ = path;
    fseek(file_, 0, SEEK_END);
    if (ftell(file_) > rotation_threshold_bytes) {
        rotate_file();
    }
    has_file_ = file_ != nullptr;
    return has_file_;
}

bool file_logger::start_writer(const std::shared_ptr<file_logger>& self) {
    data_event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (data_event_ == nullptr) {
        return false;
    }
    // The writer's own reference, handed over to the thread.
    auto* writer_reference = new (std::nothrow) std::shared_ptr<file_logger>(self);
    if (writer_reference == nullptr) {
        return false;
    }
    writer_thread_ =
        CreateThread(nullptr, 0, &file_logger::writer_main, writer_reference, 0, nullptr);
    if (writer_thread_ == nullptr) {
        delete writer_reference;
        return false;
    }
    return true;
}

DWORD WINAPI file_logger::writer_main(LPVOID argument) {
    auto* reference = static_cast<std::shared_ptr<file_logger>*>(argument);
    std::shared_ptr<file_logger> self = std::move(*reference);
    delete reference;
    self->run_writer();
    return 0;
}

void file_logger::run_writer() {
    std::wstring batch;
    for (;;) {
        if (WaitForSingleObject(data_event_, writer_wake_ms) == WAIT_FAILED) {
            Sleep(writer_wake_ms);  // keeps the cadence rather than spinning on a broken event
        }
        bool stopping = false;
        {
            scoped_critical_section hold(lock_);
            // Both buffers keep their allocations from batch to batch.
            batch.swap(pending_text_);
            stopping = stop_;
        }
        // Lines are refused once stop_ is set, so a batch taken together with stop_ is the
        // last one: nothing appended before the close is left behind.
        if (!batch.empty()) {
            write_text(batch);
            batch.clear();
        }
        if (stopping) {
            break;
        }
    }
    const int result = file_ != nullptr ? fclose(file_) : -1;
    file_ = nullptr;
    scoped_critical_section hold(lock_);
    has_file_ = false;
    close_result_ = result;
    writer_ended_ = true;
}

void file_logger::write_text(const std::wstring& text) {
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0 || file_ == nullptr) {
        return;
    }
    std::string bytes(static_cast<size_t>(needed), '\0');
    const int converted =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &bytes[0], needed, nullptr, nullptr);
    if (converted <= 0) {
        return;
    }
    fwrite(bytes.data(), 1, static_cast<size_t>(converted), file_);
    fflush(file_);
    fseek(file_, 0, SEEK_END);
    if (ftell(file_) > rotation_threshold_bytes) {
        rotate_file();
        scoped_critical_section hold(lock_);
        has_file_ = file_ != nullptr;
    }
}

void file_logger::rotate_file() {
    if (file_ == nullptr) {
        return;
    }
    fclose(file_);
    file_ = nullptr;
    const std::wstring directory = directory_of(path_);
    const std::wstring name = file_name_of(path_);
    if (!ensure_directory(directory) || name.empty()) {
        return;
    }
    const std::wstring first = directory + L"\\" + name + L".bk";
    const std::wstring second = first + L".bk";
    if (file_exists(first)) {
        if (file_exists(second)) {
            DeleteFileW(second.c_str());
        }
        MoveFileW(first.c_str(), second.c_str());
        DeleteFileW(first.c_str());
    }
    // When the file could not become the backup (another process holds it, the backup name
    // is taken), its content must not be thrown away: keep appending to it.
    const bool moved = MoveFileW(path_.c_str(), first.c_str()) != FALSE;
    file_ = _wfopen(path_.c_str(), moved ? L"w+bN" : L"a+bN");
}

void file_logger::append_line(const std::wstring& line) {
    {
        scoped_critical_section hold(lock_);
        if (!has_file_ || stop_ || pending_text_.size() >= max_pending_units) {
            return;
        }
        pending_text_ += line;
    }
    SetEvent(data_event_);
}

int file_logger::close() {
    if (writer_thread_ == nullptr) {
        return -1;
    }
    {
        scoped_critical_section hold(lock_);
        stop_ = true;
    }
    SetEvent(data_event_);
    const bool thread_gone = WaitForSingleObject(writer_thread_, close_wait_ms) == WAIT_OBJECT_0;
    CloseHandle(writer_thread_);
    writer_thread_ = nullptr;
    std::wstring orphaned;
    {
        scoped_critical_section hold(lock_);
        if (writer_ended_ || !thread_gone) {
            return writer_ended_ ? close_result_ : 0;
        }
        // The thread is gone without having ended its loop: Windows ends every other thread of
        // a process before it unloads a library, so a close from the library's unload finds
        // the writer killed. What it left is written here, so the last lines are kept.
        orphaned.swap(pending_text_);
        writer_ended_ = true;
        has_file_ = false;
    }
    if (!orphaned.empty()) {
        write_text(orphaned);
    }
    const int result = file_ != nullptr ? fclose(file_) : -1;
    file_ = nullptr;
    scoped_critical_section hold(lock_);
    close_result_ = result;
    return result;
}
