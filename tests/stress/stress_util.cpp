#include "stress_util.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace stress {

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

memory_sampler::memory_sampler() {
    peak_ = tovi_test::resident_bytes();
    thread_ = std::thread([this] {
        while (!done_) {
            const size_t now = tovi_test::resident_bytes();
            if (now > peak_) {
                peak_ = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

memory_sampler::~memory_sampler() {
    done_ = true;
    thread_.join();
}

void write_results(const std::string& path, const std::map<std::string, long long>& results) {
    const std::string partial = path + ".part";
    {
        std::ofstream out(partial);
        for (const auto& entry : results) {
            out << entry.first << ' ' << entry.second << '\n';
        }
    }
    std::rename(partial.c_str(), path.c_str());  // the reader sees the file whole or not at all
}

std::map<std::string, long long> read_results(const std::string& path,
                                              std::chrono::milliseconds timeout) {
    std::map<std::string, long long> results;
    if (!tovi_test::wait_until([&] { return tovi_test::file_exists(path); }, timeout)) {
        return results;
    }
    std::istringstream in(tovi_test::read_file(path));
    std::string key;
    long long value = 0;
    while (in >> key >> value) {
        results[key] = value;
    }
    return results;
}

}  // namespace stress
