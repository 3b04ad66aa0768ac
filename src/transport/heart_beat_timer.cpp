// A heart beat at a fixed interval, on a timer of the owner's event loop.
#include "transport/heart_beat_timer.h"

#include "transport/pipe_handler_async.h"

namespace tovi {

heart_beat_timer::heart_beat_timer(heart_beat_callback* callback, uint32_t interval_ms,
                                   pipe_handler_async* loop)
    : state_(std::make_shared<shared_state>()) {
    state_->callback = callback;
    state_->interval_ms = interval_ms;
    state_->loop = loop;
}

heart_beat_timer::~heart_beat_timer() {
    stop();
}

bool heart_beat_timer::start() {
    uint64_t round = 0;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        if (state_->armed) {
            return true;
        }
        state_->armed = true;
        round = ++state_->round;
    }
    arm(state_, round);
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->armed;
}

void heart_beat_timer::arm(const std::shared_ptr<shared_state>& state, uint64_t round) {
    const std::weak_ptr<shared_state> weak = state;
    if (!state->loop->post_after(state->interval_ms, [weak, round] {
            if (const auto alive = weak.lock()) {
                beat(alive, round);
            }
        })) {
        std::lock_guard<std::mutex> hold(state->lock);
        state->armed = false;
    }
}

void heart_beat_timer::beat(const std::shared_ptr<shared_state>& state, uint64_t round) {
    {
        std::lock_guard<std::mutex> hold(state->lock);
        if (!state->armed || state->round != round) {
            return;  // stopped, or a timer of an earlier start
        }
        state->beating = true;
    }
    if (state->callback != nullptr) {
        state->callback->on_heart_beat();
    }
    bool again = false;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->beating = false;
        again = state->armed && state->round == round;
    }
    state->beat_done.notify_all();
    if (again) {
        arm(state, round);
    }
}

void heart_beat_timer::stop() {
    std::unique_lock<std::mutex> hold(state_->lock);
    state_->armed = false;
    if (!state_->loop->is_current_thread()) {
        state_->beat_done.wait(hold, [this] { return !state_->beating; });
    }
}

bool heart_beat_timer::is_running() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->armed;
}

}  // namespace tovi
