// Seams for the logger's tests. The library itself never calls these.
#pragma once

#include <cstdint>

// The file size above which the writer rotates the log: 31,457,280 bytes unless a test lowers
// it so that rotation can be shown without writing 30 MiB.
void set_log_rotation_threshold_for_testing(int32_t bytes);
void reset_log_rotation_threshold_for_testing();
