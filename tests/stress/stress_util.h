// Helpers of the stress cases: a child's findings, memory samples, and loops bounded in time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "host.h"

namespace stress {

// Children's exit codes: 0 when everything the role expects happened; each failure has its own
// code so that a failing case says which step failed.
constexpr int child_ok = 0;

// Runs the step again and again until it returns false or the time is up; returns how many
// times it ran.
long repeat_for(std::chrono::milliseconds duration, const std::function<bool()>& step);

// Samples this process's resident memory every few milliseconds from construction until
// destruction; peak() is the largest reading so far.
class memory_sampler {
  public:
    memory_sampler();
    ~memory_sampler();
    memory_sampler(const memory_sampler&) = delete;
    memory_sampler& operator=(const memory_sampler&) = delete;
    size_t peak() const { return peak_; }

  private:
    std::atomic<bool> done_{false};
    std::atomic<size_t> peak_{0};
    std::thread thread_;
};

// A child's findings, as "key value" lines in a file whose path the parent passes it.
void write_results(const std::string& path, const std::map<std::string, long long>& results);
// Waits up to the time-out for the file; empty when it did not come.
std::map<std::string, long long> read_results(const std::string& path,
                                              std::chrono::milliseconds timeout);

constexpr size_t mib = 1024 * 1024;

}  // namespace stress
