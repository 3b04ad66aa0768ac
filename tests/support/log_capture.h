// Captures the process's log in a file of its own for one test, for behaviour that is only
// visible in the log.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tovi_test {

class log_capture {
  public:
    // Opens the log at a fresh file.
    log_capture();
    // Closes the log and removes the file.
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Waits until piece has reached the file, at least count times (lines are written in the
    // background).
    bool wait_for(const std::string& piece, std::chrono::milliseconds timeout, size_t count = 1);

    // Closes the log, so that every pending line is written, and returns the file's text.
    std::string finish();

  private:
    std::string directory_;
    std::string path_;
    std::string text_;
    bool finished_ = false;
};

// True when every piece occurs in text, each after the one before it.
bool contains_in_order(const std::string& text, const std::vector<std::string>& pieces);

// The number of times piece occurs in text.
size_t count_of(const std::string& text, const std::string& piece);

}  // namespace tovi_test
