// The operating-system services of the benchmark's conductor and children, one file per
// system (system_posix.cpp, system_windows.cpp). The rows that measure an operating-system
// transport include its headers themselves.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace bench {

// A child process running this executable with the given arguments. Its standard output is
// a pipe read with read_line, its standard input a pipe that close_input closes, and its
// standard error is this process's. Destroying a child that still runs kills it.
class child {
  public:
    explicit child(const std::vector<std::string>& arguments);
    ~child();
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    bool started() const;
    unsigned long id() const;
    // The next line of output, without its line end; false once the output has ended.
    bool read_line(std::string& line);
    // Ends the child's input: a child waiting for it to end goes on.
    void close_input();
    // Waits for the child to end and returns its exit code.
    int wait();
    // Ends a child that still runs at once, and waits for it.
    void kill();

    struct native;

  private:
    // Up to size bytes of output; 0 once it has ended.
    size_t read_output(char* buffer, size_t size);

    std::unique_ptr<native> native_;
    std::string pending_;  // output read but not yet returned as a line
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

// True for the Windows build running under Wine.
bool running_under_wine();

}  // namespace bench
