#include <sched.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

#include "system.h"

namespace bench {

long long peak_resident_kb() {
    rusage usage{};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;  // kB on Linux
}

unsigned long process_id() {
    return static_cast<unsigned long>(getpid());
}

void raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string system_description() {
    utsname name{};
    std::string text = uname(&name) == 0 ? std::string(name.sysname) + " " + name.release : "";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            text += ", " + line.substr(line.find(':') + 2);
            break;
        }
    }
    return text + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores online";
}

std::string placement_description() {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0 && CPU_COUNT(&allowed) < online) {
        return "pinned to " + std::to_string(CPU_COUNT(&allowed)) + " of " +
               std::to_string(online) + " cores";
    }
#endif
    return "unpinned";
}

bool running_under_wine() {
    return false;
}

}  // namespace bench
