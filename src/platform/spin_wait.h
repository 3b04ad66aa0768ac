// Short busy waits: whether one can help, and one step of it.
//
// Waking a sleeping thread costs a system call on the waker's side and a scheduler wake-up
// on the sleeper's, tens of microseconds when the sleeper's core has gone idle. A thread that
// expects its event within microseconds may watch for it for a bounded time first, but only
// where another core can produce it meanwhile: on a single core the watch would only delay
// the thread that produces it.
#pragma once

namespace tovi_platform {

// More than one core may run the calling thread (its affinity, not the machine's size).
bool other_cores_may_run();

// One step of a busy wait: tells the core that the thread spins.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

}  // namespace tovi_platform
