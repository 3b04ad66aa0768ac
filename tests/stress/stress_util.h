// Helpers of the stress cases: connecting while other clients compete for the instances,
// reading a child's verdict, and running a loop for a bounded time.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "host.h"

namespace stress {

// Children's exit codes: 0 when everything the role expects happened; each failure has its own
// code so that a failing case says which step failed.
constexpr int child_ok = 0;

// Connects, trying again for up to the time-out (each attempt waits at most 300 ms).
bool connect_within(e2e::client_host& client, const std::string& name, const std::string& id,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Runs the step again and again until it returns false or the time is up; returns how many
// times it ran.
long repeat_for(std::chrono::milliseconds duration, const std::function<bool()>& step);

// A byte string of the given size whose content depends on seed, so that a receiver can tell
// a message whole and in place.
std::string pattern(size_t size, unsigned seed);

}  // namespace stress
