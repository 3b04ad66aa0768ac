#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>

#include "system.h"

extern char** environ;

namespace bench {

struct child::native {
    pid_t pid = -1;
    int output = -1;  // read end of the child's standard output
    int input = -1;   // write end of the child's standard input
    bool ended = false;
    int exit_code = -1;
};

namespace {

std::string executable_path() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void close_fd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

child::child(const std::vector<std::string>& arguments) : native_(new native) {
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return;
    if (pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    const std::string path = executable_path();
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0)
        native_->pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    native_->output = out[0];
    native_->input = in[1];
    if (native_->pid < 0) {
        close_fd(native_->output);
        close_fd(native_->input);
    }
}

child::~child() {
    kill();
    close_fd(native_->output);
    close_fd(native_->input);
}

bool child::started() const {
    return native_->pid > 0;
}

unsigned long child::id() const {
    return static_cast<unsigned long>(native_->pid);
}

size_t child::read_output(char* buffer, size_t size) {
    for (;;) {
        const ssize_t got = native_->output < 0 ? 0 : read(native_->output, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got > 0 ? static_cast<size_t>(got) : 0;
    }
}

void child::kill() {
    if (started() && !native_->ended) {
        ::kill(native_->pid, SIGKILL);
        wait();
    }
}

void child::close_input() {
    close_fd(native_->input);
}

int child::wait() {
    native* n = native_.get();
    if (n->ended || n->pid <= 0)
        return n->exit_code;
    int status = 0;
    while (waitpid(n->pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    n->ended = true;
    n->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return n->exit_code;
}

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
