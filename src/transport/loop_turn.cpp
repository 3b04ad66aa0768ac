// Handing an event loop's turn between its thread and a guest.
#include "transport/loop_turn.h"

namespace tovi {

bool loop_turn::lend_if_asked() {
    std::unique_lock<std::mutex> hold(lock_);
    if (!asked_ || closed_) {
        asked_ = false;
        return false;
    }
    asked_ = false;
    lent_ = true;
    reclaimed_ = false;
    left_at_ = clock::now();
    changed_.notify_all();
    // A guest that leaves does not wake this thread (it may come back within the grace), so
    // the thread looks every lend_grace; once it found the guest in looks_before_sleep times in
    // a row, it sleeps until the guest's leave wakes it, so that an idle guest costs no looks.
    int looks_with_guest_in = 0;
    while (guest_in_ || !(reclaimed_ || closed_ || clock::now() - left_at_ >= lend_grace)) {
        if (guest_in_ && looks_with_guest_in >= looks_before_sleep) {
            sleeping_ = true;
            changed_.wait(hold);
            sleeping_ = false;
            looks_with_guest_in = 0;
        } else {
            changed_.wait_for(hold, lend_grace);
            looks_with_guest_in = guest_in_ ? looks_with_guest_in + 1 : 0;
        }
    }
    lent_ = false;
    reclaimed_ = false;
    return true;
}

bool loop_turn::take(clock::time_point deadline, const std::function<void()>& ask) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        if (closed_ || guest_in_) {
            return false;
        }
        if (lent_) {
            guest_in_ = true;
            reclaimed_ = false;  // the guest waits in the port, where the work that asked is
            return true;
        }
        // Asked again when the thread lent the turn and took it back before this guest ran.
        if (!asked_) {
            asked_ = true;
            hold.unlock();
            ask();
            hold.lock();
            continue;
        }
        if (deadline == clock::time_point::max()) {
            changed_.wait(hold);
        } else if (changed_.wait_until(hold, deadline) == std::cv_status::timeout) {
            asked_ = false;
            return false;
        }
    }
}

void loop_turn::leave() {
    std::lock_guard<std::mutex> hold(lock_);
    guest_in_ = false;
    left_at_ = clock::now();
    if (reclaimed_ || closed_ || sleeping_) {
        changed_.notify_all();
    }
}

bool loop_turn::closed() const {
    std::lock_guard<std::mutex> hold(lock_);
    return closed_;
}

void loop_turn::reclaim() {
    std::lock_guard<std::mutex> hold(lock_);
    if (lent_) {
        reclaimed_ = true;
        if (!guest_in_) {
            changed_.notify_all();
        }
    }
}

void loop_turn::close() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    changed_.notify_all();
}

void loop_turn::open() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = false;
}

}  // namespace tovi
