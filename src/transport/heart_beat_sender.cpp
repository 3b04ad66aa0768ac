#include "transport/heart_beat_sender.h"

namespace win {

heart_beat_sender::heart_beat_sender(heart_beat_callback* callback, uint32_t interval_ms)
    : interval_ms_(interval_ms), callback_(callback) {}

heart_beat_sender::~heart_beat_sender() {
    stop_thread();
}

bool heart_beat_sender::start() {
    if (is_running()) {
        return true;
    }
    return start_thread();
}

void heart_beat_sender::on_thread_run() {
    while (!wait_exit_signal(interval_ms_)) {
        if (callback_ != nullptr) {
            callback_->on_heart_beat();
        }
    }
}

}  // namespace win
