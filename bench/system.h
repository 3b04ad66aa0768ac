// The operating-system services of the benchmark's conductor and children, one file per
// system (system_posix.cpp, system_windows.cpp). The rows that measure an operating-system
// transport include its headers themselves.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace bench {

// A child process running this executable with the given arguments. Its standard output is
// a pipe read with read_line, its standard input a pipe that close_input closes, and its
// standard error is this process's. Destroying a child that still runs kills it.
class child {
  public:
    explicit child(const std::vector<std::string>& arguments)
        : started_(process_.start(toviipc::current_executable(), arguments)) {}

    bool started() const { return started_; }
    unsigned long id() const { return process_.id(); }
    // The next line of output, without its line end; false once the output has ended.
    bool read_line(std::string& line) { return process_.read_line(&line); }
    // Ends the child's input: a child waiting for it to end goes on.
    void close_input() { process_.close_input(); }
    // Waits for the child to end and returns its exit code (the watchdog of a run bounds it).
    int wait() { return process_.wait(std::chrono::hours(24)); }
    // Ends a child that still runs at once, and waits for it.
    void kill() { process_.kill(); }

  private:
    toviipc::child_process process_;
    bool started_;
};

// Reads lines until one starts with prefix, which it leaves in line; false once the output
// ended first.
bool read_line_starting(child& process, const std::string& prefix, std::string& line);

// The most resident memory this process has had so far, in kB (Windows: peak working set).
long long peak_resident_kb();

// This process's id.
unsigned long process_id();

// Raises this process's limit of open files to the hard limit (POSIX; nothing on Windows).
void raise_open_file_limit();

// One line naming the system, the processor and, on Windows, whether this is Wine.
std::string system_description();

// "unpinned", or how many cores this process (and so its children) may run on when it was
// started pinned (taskset): "pinned to 1 of 2 cores".
std::string placement_description();

// True for the Windows build running under Wine.
bool running_under_wine();

}  // namespace bench
