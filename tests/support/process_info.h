// The few process facts the test helpers need, implemented per system.
#pragma once

#include <string>
#include <vector>

namespace tovi_test {

unsigned long current_process_id();
std::string current_executable();

// Starts the executable with the arguments; returns an opaque process or null.
void* start_process(const std::string& executable, const std::vector<std::string>& arguments);
// Waits up to timeout_ms (negative: forever) and returns true with the exit code once ended.
bool wait_process(void* process, long timeout_ms, int* exit_code);
void kill_process(void* process);
void release_process(void* process);

}  // namespace tovi_test
