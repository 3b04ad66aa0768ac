// Whether a busy wait can help: the process's affinity on Windows.
#include "platform/spin_wait.h"

#include "platform/win32.h"

namespace tovi_platform {

bool other_cores_may_run() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        return false;
    }
    return (process & (process - 1)) != 0;  // more than one bit
}

}  // namespace tovi_platform
