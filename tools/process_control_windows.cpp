#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <thread>

#include "process_control.h"

namespace toviipc {

namespace {

// The console control handler has no context; it reaches the board through this.
std::shared_ptr<wake_board>* interrupt_board = nullptr;
// Set by command_finished: the command has told its peers and released its endpoints.
HANDLE finished_event = nullptr;
// Windows ends the process once the handler of a console close returns, and allows it about
// 5 s: the stop path gets most of that.
constexpr DWORD close_grace_ms = 4500;

BOOL WINAPI on_console_control(DWORD kind) {
    const bool ends_process =
        kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT;
    if (kind != CTRL_C_EVENT && kind != CTRL_BREAK_EVENT && !ends_process) {
        return FALSE;
    }
    if (interrupt_board != nullptr) {
        (*interrupt_board)->post_interrupt();
    }
    if (ends_process && finished_event != nullptr) {
        // Run the same stop path as Ctrl+C before the process goes, so peers are told.
        WaitForSingleObject(finished_event, close_grace_ms);
    }
    return TRUE;
}

}  // namespace

void prepare_process(const std::shared_ptr<wake_board>& board) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Kept for the life of the process: the handler may run until the process ends.
    interrupt_board = new std::shared_ptr<wake_board>(board);
    finished_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&on_console_control, TRUE);
}

void command_finished() {
    if (finished_event != nullptr) {
        SetEvent(finished_event);
    }
}

void read_input_lines(const std::shared_ptr<wake_board>& board) {
    std::thread([board] {
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        std::string pending;
        char buffer[4096];
        DWORD n = 0;
        while (input != nullptr && input != INVALID_HANDLE_VALUE &&
               ReadFile(input, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
            post_input_bytes(*board, pending, buffer, n);
        }
        if (!pending.empty()) {
            board->post_line(pending);
        }
        board->post_input_end();
    }).detach();
}

std::string time_of_day() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds);
    return text;
}

unsigned long current_process_id() {
    return GetCurrentProcessId();
}

}  // namespace toviipc
