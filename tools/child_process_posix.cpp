#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <thread>

#include "child_process.h"

extern char** environ;

namespace toviipc {

struct child_process::native {
    pid_t pid = -1;
    bool reaped = false;
    int status = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
    std::string pending;  // output read past the last line handed out
};

namespace {

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int status_of(int raw) {
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

child_process::child_process() : native_(new native) {}

child_process::~child_process() {
    kill();
    close_fd(native_->input);
    close_fd(native_->output);
    close_fd(native_->errors);
}

bool child_process::start(const std::string& executable, const std::vector<std::string>& arguments,
                          bool capture_errors) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    // Close-on-exec everywhere: a child inherits only the ends dup2'ed onto its 0, 1 and 2.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        (capture_errors && pipe2(err, O_CLOEXEC) != 0)) {
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close_fd(fd);
        }
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (capture_errors) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    if (failed != 0) {
        close_fd(in[1]);
        close_fd(out[0]);
        close_fd(err[0]);
        return false;
    }
    native_->pid = pid;
    native_->input = in[1];
    native_->output = out[0];
    native_->errors = err[0];
    return true;
}

bool child_process::write_input(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(native_->input, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void child_process::close_input() {
    close_fd(native_->input);
}

bool child_process::read_line(std::string* line) {
    std::string& pending = native_->pending;
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line->assign(pending, 0, end);
            pending.erase(0, end + 1);
            return true;
        }
        char buffer[4096];
        const ssize_t n = read(native_->output, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (pending.empty()) {
                return false;
            }
            line->swap(pending);
            pending.clear();
            return true;
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

std::string child_process::read_errors() {
    std::string all;
    char buffer[4096];
    for (;;) {
        const ssize_t n = native_->errors < 0 ? 0 : read(native_->errors, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return all;
        }
        all.append(buffer, static_cast<size_t>(n));
    }
}

bool child_process::interrupt() {
    return native_->pid > 0 && !native_->reaped && ::kill(native_->pid, SIGINT) == 0;
}

bool child_process::suspend() {
    return native_->pid > 0 && !native_->reaped && ::kill(native_->pid, SIGSTOP) == 0;
}

void child_process::kill() {
    if (native_->pid <= 0 || native_->reaped) {
        return;
    }
    ::kill(native_->pid, SIGKILL);
    int raw = 0;
    while (waitpid(native_->pid, &raw, 0) < 0 && errno == EINTR) {
    }
    native_->reaped = true;
    native_->status = status_of(raw);
}

unsigned long child_process::id() const {
    return native_->pid > 0 ? static_cast<unsigned long>(native_->pid) : 0;
}

int child_process::wait(std::chrono::milliseconds timeout) {
    if (native_->pid <= 0) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!native_->reaped) {
        int raw = 0;
        const pid_t r = waitpid(native_->pid, &raw, WNOHANG);
        if (r == native_->pid) {
            native_->reaped = true;
            native_->status = status_of(raw);
            break;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        // No portable way to wait for a child with a time-out: poll its state.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return native_->status;
}

std::string current_executable() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace toviipc
