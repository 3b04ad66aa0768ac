// The process's one log: opening, moving and releasing it, and the logging calls every part
// of the library makes.
#include "log/log.h"

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "log/file_logger.h"
#include "log/log_line.h"
#include "log/wide_format.h"
#include "platform/scoped_critical_section.h"
#include "platform/win32.h"

namespace {

// The one logger of the process.
class logger_slot {
  public:
    logger_slot() {
        InitializeCriticalSection(&open_lock_);
        InitializeCriticalSection(&current_lock_);
    }
    logger_slot(const logger_slot&) = delete;
    logger_slot& operator=(const logger_slot&) = delete;

    // Created on first use and never destroyed, so that logging and log_release stay safe
    // during the static destruction of a host or of the library itself.
    static logger_slot& instance() {
        static logger_slot* slot = new logger_slot();
        return *slot;
    }

    std::shared_ptr<file_logger> current() {
        scoped_critical_section hold(current_lock_);
        return current_;
    }

    bool open(const wchar_t* path) {
        scoped_critical_section hold(open_lock_);
        close_current();
        if (path == nullptr) {
            return false;
        }
        std::shared_ptr<file_logger> opened = file_logger::open(path);
        if (opened == nullptr) {
            return false;
        }
        scoped_critical_section hold_current(current_lock_);
        current_ = std::move(opened);
        return true;
    }

    int close() {
        scoped_critical_section hold(open_lock_);
        return close_current();
    }

  private:
    // REQUIRES: open_lock_ held. Unpublishes the logger first, so that lines offered from now
    // on are dropped, then closes it; calls still in flight keep it alive until they are done.
    int close_current() {
        std::shared_ptr<file_logger> closing;
        {
            scoped_critical_section hold(current_lock_);
            closing.swap(current_);
        }
        return closing != nullptr ? closing->close() : -1;
    }

    // Serialises log_open, log_close and log_release. Lock order: first, before current_lock_
    // and before a file_logger's lock; never taken by logging calls.
    CRITICAL_SECTION open_lock_;
    // Guards current_, held only to copy or exchange it. Lock order: after open_lock_; never
    // held together with a file_logger's lock.
    CRITICAL_SECTION current_lock_;
    std::shared_ptr<file_logger> current_;
};

void log_message(uint32_t level, const wchar_t* format, va_list arguments) {
    std::shared_ptr<file_logger> logger = logger_slot::instance().current();
    if (logger == nullptr) {
        return;
    }
    try {
        std::wstring text = level_prefix(level);
        std::wstring message;
        message.reserve(max_message_units);
        append_wide_format(message, max_message_units, format, arguments);
        text += message;
        SYSTEMTIME now;
        GetLocalTime(&now);
        logger->append_line(compose_line(now, GetCurrentProcessId(), GetCurrentThreadId(), text));
    } catch (const std::bad_alloc&) {
        // Out of memory: the line is lost, the caller is not disturbed.
    }
}

}  // namespace

bool log_open(const wchar_t* path) {
    return logger_slot::instance().open(path);
}

int log_close() {
    return logger_slot::instance().close();
}

void log_release() {
    logger_slot::instance().close();
}

#define TOVI_LOG_ENTRY_POINT(name, level)      \
    void name(const wchar_t* format, ...) {    \
        va_list arguments;                     \
        va_start(arguments, format);           \
        log_message(level, format, arguments); \
        va_end(arguments);                     \
    }

TOVI_LOG_ENTRY_POINT(log_info, log_level_info)
TOVI_LOG_ENTRY_POINT(log_warning, log_level_warning)
TOVI_LOG_ENTRY_POINT(log_error, log_level_error)
TOVI_LOG_ENTRY_POINT(log_fatal, log_level_fatal)
