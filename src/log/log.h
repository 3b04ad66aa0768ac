// The process's diagnostic log: one file per process, written in the background.
//
// Either endpoint opens the log with log_open; every part of the library writes lines through
// log_info, log_warning, log_error and log_fatal. A logging call never touches the disk: it
// formats the line, stamps it with the local time, the process id and the thread id, appends
// it to an in-memory text and wakes the writer thread (see file_logger.h), which writes,
// flushes and rotates the file. Until a log_open has succeeded, after one has failed, and
// after log_close or log_release, logging calls do nothing.
//
// Formats are wide and follow the Windows convention on every build (see wide_format.h): "%s"
// takes a wide string (convert UTF-8 with utf8_to_utf16), "%d", "%u", "%lu" and "%X" take
// 32-bit integers; log an address with "%.8X" and its low 32 bits. A message is cut at 4,091
// units. Every line the library writes begins with the qualified name of the function that
// writes it; error codes are captured with GetLastError() at once and logged with "%d".
//
// Threads and locks: the entry points may be called on any thread at any time, also while the
// caller holds locks of its own, and also while another thread runs log_open or log_release:
// a call in flight keeps the logger it found alive (a std::shared_ptr copied under a short
// lock) until it has appended its line. The logger's locks are leaves below every lock of the
// library: nothing else is taken while they are held. log_open, log_close and log_release are
// serialised with each other by a lock of their own.
#pragma once

// Opens the log file at path (UTF-16, "\" or "/" separators), creating its missing
// directories. A logger that is open already is first closed, writing what was pending to its
// file, and then opened on the new path. Returns false, and logging is off until the next
// successful log_open, when path is null, the directory cannot be created or the file cannot
// be opened. A file already above the rotation threshold is rotated before its first line.
bool log_open(const wchar_t* path);

// Stops logging and closes the file after the writer has written what was pending. Waits at
// most about 500 ms: a writer still busy then (a stalled disk) is left to finish and close the
// file on its own. Returns fclose's result, 0 when the writer was left to close the file, and
// -1 when no file was open.
int log_close();

// The same as log_close, for the library's unload.
void log_release();

// A shared library's static object of this type releases the log when the library is unloaded,
// writing what is still pending.
struct log_release_at_unload {
    log_release_at_unload() = default;
    log_release_at_unload(const log_release_at_unload&) = delete;
    log_release_at_unload& operator=(const log_release_at_unload&) = delete;
    ~log_release_at_unload() { log_release(); }
};

// Log one message at the named level. Any thread; never throws, never blocks on the disk.
void log_info(const wchar_t* format, ...);
void log_warning(const wchar_t* format, ...);
void log_error(const wchar_t* format, ...);
void log_fatal(const wchar_t* format, ...);
