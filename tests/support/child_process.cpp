#include "support/process_info.h"
#include "support/test_support.h"

namespace tovi_test {

child_process::child_process(const std::string& role, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--child=" + role};
    all.insert(all.end(), arguments.begin(), arguments.end());
    native_ = start_process(current_executable(), all);
    started_ = native_ != nullptr;
}

child_process::~child_process() {
    if (native_ == nullptr) {
        return;
    }
    if (!ended_) {
        kill();
    }
    release_process(native_);
}

int child_process::wait(std::chrono::milliseconds timeout) {
    if (ended_) {
        return exit_code_;
    }
    if (native_ == nullptr) {
        return -1;
    }
    int code = -1;
    if (!wait_process(native_, static_cast<long>(timeout.count()), &code)) {
        return -1;
    }
    ended_ = true;
    exit_code_ = code;
    return code;
}

void child_process::kill() {
    if (native_ == nullptr || ended_) {
        return;
    }
    kill_process(native_);
    int code = -1;
    wait_process(native_, -1, &code);
    ended_ = true;
    exit_code_ = code;
}

}  // namespace tovi_test
