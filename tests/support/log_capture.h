// Captures the process's log in a file of its own for one test, for behaviour that is only
// visible in the log.
#pragma once

#include <chrono>
#include <string>

#include "support/test_support.h"

namespace tovi_test {

class log_capture {
  public:
    // Opens the log at a fresh file.
    log_capture();
    // Closes the log; the file goes with its directory.
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Waits until piece has reached the file, at least count times (lines are written in the
    // background).
    bool wait_for(const std::string& piece, std::chrono::milliseconds timeout, size_t count = 1);

    // Closes the log, so that every pending line is written, and returns the file's text.
    std::string finish();

  private:
    temp_dir directory_{"tovi_log"};
    std::string path_ = directory_ / "test.log";
    std::string text_;
    bool finished_ = false;
};

}  // namespace tovi_test
