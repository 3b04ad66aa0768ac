// Whether a busy wait can help: the calling thread's affinity on Linux.
#include <sched.h>

#include "platform/spin_wait.h"

namespace tovi_platform {

bool other_cores_may_run() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    return sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 1;
}

}  // namespace tovi_platform
