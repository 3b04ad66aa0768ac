// What ends or wakes the main thread of a toviipc command, and the few process facts the tool
// needs per system.
//
// A command's main thread waits on one wake_board. Interrupts (SIGINT and SIGTERM on POSIX,
// Ctrl+C, Ctrl+Break and closing the console on Windows), lines of standard input and its end,
// and the peer going away (posted from a library callback) are posted to it from other threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace toviipc {

class wake_board {
  public:
    using clock = std::chrono::steady_clock;

    // What had been posted and not yet taken.
    struct news {
        bool interrupted = false;
        bool input_ended = false;
        bool peer_gone = false;
        std::deque<std::string> lines;
    };

    void post_interrupt();
    void post_line(std::string line);
    void post_input_end();
    void post_peer_gone();

    // Waits until something has been posted and not taken, or until the deadline passes, and
    // takes it: each post is reported once. Any thread posts; one thread waits.
    news wait_until(clock::time_point deadline);

  private:
    // Applies the change to what is posted, under the lock, and wakes the waiter.
    template <typename Change>
    void post(Change change);

    std::mutex lock_;  // a leaf
    std::condition_variable changed_;
    news news_;
};

// Prepares the process for a command: output in binary mode (every line ends in one LF on
// every build), a write to a closed pipe is an error rather than a signal, on POSIX the soft
// limit of open descriptors raised to the hard one, and from now on
// interrupts are posted to board. Call before the library starts any thread, so that on POSIX
// the library's threads inherit the blocked signals and one thread of ours takes them.
void prepare_process(const std::shared_ptr<wake_board>& board);

// The command has stopped and released its endpoints. On Windows, a console that is being
// closed waits for this (a few seconds at most) before it lets the process end.
void command_finished();

// Reads standard input on a thread of its own and posts each line (without its line end) and
// then the end of input to board. The thread is detached: it may still be blocked in a read
// when the command ends, and it touches nothing but the board it holds.
void read_input_lines(const std::shared_ptr<wake_board>& board);

// For the readers of standard input: appends bytes to pending and posts every whole line.
void post_input_bytes(wake_board& board, std::string& pending, const char* bytes, size_t count);

// The local time of day, "HH:MM:SS.mmm".
std::string time_of_day();

// The process id of this process.
unsigned long current_process_id();

}  // namespace toviipc
