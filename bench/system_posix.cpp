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

bool running_under_wine() {
    return false;
}

}  // namespace bench
