#include "support/log_capture.h"

#include "log/log.h"
#include "log/utf8_to_utf16.h"

namespace tovi_test {

log_capture::log_capture() {
    log_open(utf8_to_utf16(path_.c_str(), -1).c_str());
}

log_capture::~log_capture() {
    finish();
}

bool log_capture::wait_for(const std::string& piece, std::chrono::milliseconds timeout,
                           size_t count) {
    return wait_until([&] { return count_of(read_file(path_), piece) >= count; }, timeout);
}

std::string log_capture::finish() {
    if (!finished_) {
        log_close();
        text_ = read_file(path_);
        finished_ = true;
    }
    return text_;
}

}  // namespace tovi_test
