#include "process_control.h"

#include <cstdio>

namespace toviipc {

template <typename Change>
void wake_board::post(Change change) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        change(news_);
    }
    changed_.notify_all();
}

void wake_board::post_interrupt() {
    post([](news& n) { n.interrupted = true; });
}

void wake_board::post_line(std::string line) {
    post([&line](news& n) { n.lines.push_back(std::move(line)); });
}

void wake_board::post_input_end() {
    post([](news& n) { n.input_ended = true; });
}

void wake_board::post_peer_gone() {
    post([](news& n) { n.peer_gone = true; });
}

wake_board::news wake_board::wait_until(clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_until(hold, deadline, [this] {
        return news_.interrupted || news_.input_ended || news_.peer_gone || !news_.lines.empty();
    });
    news taken = std::move(news_);
    news_ = news();
    return taken;
}

// Splits what a reader thread reads into lines; a CR before the LF is dropped.
void post_input_bytes(wake_board& board, std::string& pending, const char* bytes, size_t count) {
    pending.append(bytes, count);
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        size_t stop = end;
        if (stop > start && pending[stop - 1] == '\r') {
            --stop;
        }
        board.post_line(pending.substr(start, stop - start));
    }
    pending.erase(0, start);
}

}  // namespace toviipc
