// The fixed layout of a log line: time stamp, milliseconds, ids, level prefix, message, CR LF.
#include "log/log_line.h"

#include "log/wide_format.h"

const wchar_t* level_prefix(uint32_t level) {
    switch (level) {
        case log_level_warning:
            return L":warning ";
        case log_level_error:
            return L":error ";
        case log_level_fatal:
            return L":fatal ";
        case log_level_debug:
            return L":debug ";
        default:
            return L":info ";
    }
}

std::wstring format_time_stamp(const SYSTEMTIME& time) {
    static const wchar_t* const day_names[] = {L"Sun", L"Mon", L"Tue", L"Wed",
                                               L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const month_names[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                                 L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    const wchar_t* day = time.wDayOfWeek < 7 ? day_names[time.wDayOfWeek] : L"???";
    const wchar_t* month =
        time.wMonth >= 1 && time.wMonth <= 12 ? month_names[time.wMonth - 1] : L"???";
    std::wstring stamp;
    append_wide_format_args(stamp, 64, L"%s %s %.2u %.2u:%.2u:%.2u %.4u:", day, month,
                            static_cast<uint32_t>(time.wDay), static_cast<uint32_t>(time.wHour),
                            static_cast<uint32_t>(time.wMinute),
                            static_cast<uint32_t>(time.wSecond), static_cast<uint32_t>(time.wYear));
    return stamp;
}

std::wstring compose_line(const SYSTEMTIME& time, DWORD process_id, DWORD thread_id,
                          const std::wstring& text) {
    std::wstring line = format_time_stamp(time);
    append_wide_format_args(
        line, max_message_units, L" %d [%d] [%d] %s\r\n", static_cast<int32_t>(time.wMilliseconds),
        static_cast<int32_t>(process_id), static_cast<int32_t>(thread_id), text.c_str());
    return line;
}
