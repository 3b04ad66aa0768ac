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

BOOL WINAPI on_console_control(DWORD kind) {
    if (kind == CTRL_C_EVENT || kind == CTRL_BREAK_EVENT || kind == CTRL_CLOSE_EVENT) {
        if (interrupt_board != nullptr) {
            (*interrupt_board)->post_interrupt();
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void prepare_process(const std::shared_ptr<wake_board>& board) {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Kept for the life of the process: the handler may run until the process ends.
    interrupt_board = new std::shared_ptr<wake_board>(board);
    SetConsoleCtrlHandler(&on_console_control, TRUE);
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
