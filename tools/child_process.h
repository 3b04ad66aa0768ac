// A child process whose standard input and output are pipes to this process: the demo runs
// its servers, clients and readers this way, and the tool's tests run the tool.
//
// Threads: one thread may read the child's output (read_line) while another writes its input,
// suspends, kills or waits for it; the destructor runs after both are done.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace toviipc {

class child_process {
  public:
    child_process();
    // Kills a child that is still running and closes the pipes.
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // Starts the executable with the arguments. Standard error is a pipe as well when
    // capture_errors is set, and shared with this process otherwise. The child starts with
    // the default signal dispositions and an empty signal mask. False when it cannot start.
    bool start(const std::string& executable, const std::vector<std::string>& arguments,
               bool capture_errors = false);

    bool write_input(const std::string& text);
    // The child then reads the end of its input.
    void close_input();

    // Blocks for the next line of the child's output, without its line end; false once the
    // output has ended (every holder of its write end is gone).
    bool read_line(std::string* line);
    // Reads the child's standard error to its end (with capture_errors).
    std::string read_errors();

    // Interrupts the child as Ctrl+C would: SIGINT on POSIX. False where that cannot be done
    // (on Windows the child would have to share a console with this process).
    bool interrupt();
    // Freezes the child without warning: SIGSTOP on POSIX; on Windows every thread of it is
    // suspended. False when that failed.
    bool suspend();
    // Ends the child at once and reaps it.
    void kill();
    // The child's process id; 0 when it did not start.
    unsigned long id() const;
    // Waits up to timeout for the child to end. Its exit status, 128 + N for a POSIX child
    // ended by signal N, or -1 on time-out or when there is no child.
    int wait(std::chrono::milliseconds timeout);

  private:
    struct native;
    std::unique_ptr<native> native_;
};

// The path of the running executable.
std::string current_executable();

}  // namespace toviipc
