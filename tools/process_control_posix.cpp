#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <thread>

#include "process_control.h"

namespace toviipc {

void prepare_process(const std::shared_ptr<wake_board>& board) {
    std::signal(SIGPIPE, SIG_IGN);
    // A server holds a descriptor for each client: allow as many as the system lets us.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
    // Every later thread inherits the mask; this one alone takes the signals.
    std::thread([board, interrupts] {
        for (;;) {
            int signal_number = 0;
            if (sigwait(&interrupts, &signal_number) == 0) {
                board->post_interrupt();
            }
        }
    }).detach();
}

void command_finished() {
    // Signals do not end the process here: the command's own stop path runs to its end.
}

void read_input_lines(const std::shared_ptr<wake_board>& board) {
    std::thread([board] {
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            post_input_bytes(*board, pending, buffer, static_cast<size_t>(n));
        }
        if (!pending.empty()) {
            board->post_line(pending);
        }
        board->post_input_end();
    }).detach();
}

std::string time_of_day() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(now.tv_usec / 1000));
    return text;
}

unsigned long current_process_id() {
    return static_cast<unsigned long>(getpid());
}

}  // namespace toviipc
