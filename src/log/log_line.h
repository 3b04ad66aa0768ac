// The layout of one log line.
//
// A line is: the local time as "Mon Jan 05 09:03:07 2024:", a blank, the milliseconds without
// padding, " [process id] [thread id] ", the level prefix, the message, CR LF. English day and
// month names are used whatever the host's locale, so every build and every machine writes
// the same bytes. The message is cut at max_message_units; the part of the line after the
// time stamp is cut at the same length, and a line cut there loses its CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/win32.h"

// Levels of the log. Values other than these print as info.
enum log_level : uint32_t {
    log_level_info = 0,
    log_level_warning = 1,
    log_level_error = 2,
    log_level_fatal = 3,
    log_level_debug = 4,
};

// The most units of a formatted message, and of a line after its time stamp.
constexpr size_t max_message_units = 4091;

// ":info ", ":warning ", ":error ", ":fatal " or ":debug "; ":info " for any other value.
const wchar_t* level_prefix(uint32_t level);

// The time stamp, "%a %b %d %H:%M:%S %Y:" in English: for instance "Mon Jan 05 09:03:07 2024:".
std::wstring format_time_stamp(const SYSTEMTIME& time);

// The whole line for text (the level prefix followed by the message), logged at time by the
// given process and thread.
std::wstring compose_line(const SYSTEMTIME& time, DWORD process_id, DWORD thread_id,
                          const std::wstring& text);
