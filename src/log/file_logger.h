// One open log file, with its pending text and its writer thread.
//
// Logging threads hand finished lines to append_line, which only appends them to the pending
// text under a short lock and wakes the writer. The writer thread converts what has gathered
// to UTF-8, writes it in one piece, flushes, and rotates the file once it has grown past the
// rotation threshold (31,457,280 bytes): "NAME.bk.bk" is deleted, "NAME.bk" becomes
// "NAME.bk.bk", the file becomes "NAME.bk" and a new, empty file takes its name. When the
// file cannot be moved to its backup, it is reopened for appending, so the live log is never
// emptied.
//
// Ownership: a file_logger is shared through std::shared_ptr by the process-wide slot (see
// log.h), by logging calls in flight, and by its own writer thread. The writer owns the file
// once it has started: it is the only one to write, rotate and close it, and it closes it
// when it ends (if the thread is killed instead, close() takes the file over). close() waits a
// bounded time for the writer; a writer that takes longer (a stalled disk) is never killed but left
// to finish, and its reference keeps the object alive until it has.
//
// The file is opened in binary mode, so every line ends in the two bytes 0D 0A on every
// build, and not inherited by child processes.
#pragma once

#include <memory>
#include <string>

#include "platform/win32.h"

class file_logger {
  public:
    // Opens path for appending, creating missing directories, rotates it at once if it is
    // already above the threshold, and starts the writer. Null when the directory cannot be
    // created, the file cannot be opened (or reopened after that first rotation), or the
    // writer's event or thread cannot be created; nothing is left behind then.
    static std::shared_ptr<file_logger> open(const std::wstring& path);

    ~file_logger();
    file_logger(const file_logger&) = delete;
    file_logger& operator=(const file_logger&) = delete;

    // Appends one finished line for the writer. Dropped when closing has begun, when a
    // rotation left the logger without a file, or when 5,242,880 units or more are pending
    // already (a stalled disk must not exhaust memory). Any thread; takes lock_ only.
    void append_line(const std::wstring& line);

    // Stops taking lines, lets the writer write what is pending and waits for it at most
    // 500 ms. Returns fclose's result when the writer closed the file within that time, -1 if
    // it had no file, and 0 when the writer was still busy: it closes the file itself when it
    // is done. A writer thread that is gone without having finished (killed, as at process
    // exit on Windows) leaves the file to close(), which writes what is pending itself and
    // closes it. Called once, by the process-wide slot; not on the writer thread.
    int close();

  private:
    file_logger();

    bool open_file(const std::wstring& path);
    bool start_writer(const std::shared_ptr<file_logger>& self);
    static DWORD WINAPI writer_main(LPVOID argument);
    void run_writer();
    void write_text(const std::wstring& text);
    void rotate_file();

    // Written by open_file before the writer starts, then only by the writer thread.
    FILE* file_ = nullptr;
    std::wstring path_;

    // Guards pending_text_, stop_, has_file_, writer_ended_ and close_result_. A leaf: no
    // other lock is taken while it is held, and it is held only for an append or a hand-over.
    CRITICAL_SECTION lock_;
    std::wstring pending_text_;
    bool stop_ = false;
    bool has_file_ = false;
    bool writer_ended_ = false;
    int close_result_ = -1;

    // Auto-reset; set after every offered line and by close(). Closed by the destructor, so
    // it lives as long as anyone who might set or wait on it.
    HANDLE data_event_ = nullptr;
    // Owned by close(), which closes it after its wait.
    HANDLE writer_thread_ = nullptr;
};
