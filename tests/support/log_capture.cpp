#include "support/log_capture.h"

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "support/test_support.h"

namespace tovi_test {

log_capture::log_capture()
    : directory_(make_temp_dir("tovi_log")), path_(directory_ + "/test.log") {
    log_open(utf8_to_utf16(path_.c_str(), -1).c_str());
}

log_capture::~log_capture() {
    finish();
    remove_tree(directory_);
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

bool contains_in_order(const std::string& text, const std::vector<std::string>& pieces) {
    size_t at = 0;
    for (const std::string& piece : pieces) {
        at = text.find(piece, at);
        if (at == std::string::npos) {
            return false;
        }
        at += piece.size();
    }
    return true;
}

size_t count_of(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace tovi_test
