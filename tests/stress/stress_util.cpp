#include "stress_util.h"

namespace stress {

bool connect_within(e2e::client_host& client, const std::string& name, const std::string& id,
                    std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (client.connect(name, id)) {
            return true;
        }
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

long repeat_for(std::chrono::milliseconds duration, const std::function<bool()>& step) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    long runs = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        ++runs;
        if (!step()) {
            break;
        }
    }
    return runs;
}

std::string pattern(size_t size, unsigned seed) {
    std::string out(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 24);
    }
    return out;
}

}  // namespace stress
