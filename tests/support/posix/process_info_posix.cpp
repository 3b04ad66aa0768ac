#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "support/process_info.h"
#include "support/test_support.h"

extern char** environ;

namespace tovi_test {

unsigned long current_process_id() {
    return static_cast<unsigned long>(getpid());
}

std::string current_executable() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void* start_process(const std::string& executable, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return nullptr;
    }
    return new pid_t(pid);
}

bool wait_process(void* process, long timeout_ms, int* exit_code) {
    const pid_t pid = *static_cast<pid_t*>(process);
    long waited = 0;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, timeout_ms < 0 ? 0 : WNOHANG);
        if (r == pid) {
            *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (r < 0 || (timeout_ms >= 0 && waited >= timeout_ms)) {
            return false;
        }
        const timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
        waited += 2;
    }
}

void kill_process(void* process) {
    ::kill(*static_cast<pid_t*>(process), SIGKILL);
}

void release_process(void* process) {
    delete static_cast<pid_t*>(process);
}

namespace {
// A "Name:   value" line of /proc/self/status; kB values are turned into bytes.
size_t status_value(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            const size_t value = std::stoul(line.substr(prefix.size()));
            return line.find("kB") != std::string::npos ? value * 1024 : value;
        }
    }
    return 0;
}
}  // namespace

size_t resident_bytes() {
    return status_value("VmRSS");
}

size_t peak_resident_bytes() {
    return status_value("VmHWM");
}

size_t thread_count() {
    return status_value("Threads");
}

bool running_under_wine() {
    return false;
}

int client_impersonation_level(void*) {
    return -1;
}

void raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace tovi_test
