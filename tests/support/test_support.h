// Helpers shared by every test executable: waiting on a condition, unique object names, and
// child processes that re-run the test binary with --child=ROLE.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tovi_test {

// Polls the predicate until it holds or the time-out passes; returns its last value.
bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

// A name no other test, test run or process uses: prefix, process id, the current test's
// name and a counter. Safe for pipe, mapping, mutex and file names.
std::string unique_name(const std::string& prefix);

// A fresh, empty directory under the system's temporary directory, removed with everything in
// it when the object goes.
class temp_dir {
  public:
    explicit temp_dir(const std::string& prefix = "tovi");
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    // A path inside the directory.
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// size bytes that differ with seed and along the data, so that a receiver can tell a message
// whole, in place and from the right sender.
std::string pattern(size_t size, uint32_t seed);

// A pipe frame around the payload: "TQNP", the length field (little-endian; the whole frame's
// length unless given), the payload.
std::string frame(const std::string& payload);
std::string frame(const std::string& payload, uint32_t length_field);

// A latch that threads wait at until the test opens it (for at most a minute, so that a failing
// case ends).
class gate {
  public:
    void open() {
        std::lock_guard<std::mutex> hold(lock_);
        open_ = true;
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> hold(lock_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(hold, std::chrono::minutes(1), [this] { return open_; });
    }
    // Waits until a thread has come to the gate.
    bool wait_arrival(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, timeout, [this] { return arrived_ > 0; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = false;
    int arrived_ = 0;
};

// The number of times piece occurs in text.
size_t count_of(const std::string& text, const std::string& piece);

// True for the Windows build running under Wine, whose named pipes ignore
// FILE_FLAG_FIRST_PIPE_INSTANCE; cases that rely on it say so and skip that part there.
bool running_under_wine();

// The impersonation level (1 identification, 2 impersonation, 3 delegation) at which the
// server end of a pipe may act as its client, once it has read from it; -1 where it cannot be
// learnt: on POSIX, where no server acts as its client, and under Wine, which ignores the
// client's security-quality-of-service flags and always grants impersonation.
int client_impersonation_level(void* server_pipe);

// Raises this process's limit of open files as far as the system allows (POSIX), for tests
// that hold many pipes at once. Children inherit it.
void raise_open_file_limit();

// This process's resident memory now and at its peak so far, in bytes, and its number of
// threads (for cases that check that memory and threads stay bounded).
size_t resident_bytes();
size_t peak_resident_bytes();
size_t thread_count();

// A child process running this test executable with --child=ROLE and further arguments.
// Its standard output is inherited. The destructor kills a child that is still running.
class child_process {
  public:
    child_process(const std::string& role, const std::vector<std::string>& arguments = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool started() const { return started_; }
    // Waits for the child to end and returns its exit code, or -1 on time-out.
    int wait(std::chrono::milliseconds timeout);
    // Ends the child at once, without letting it clean up.
    void kill();

  private:
    bool started_ = false;
    bool ended_ = false;
    int exit_code_ = -1;
    void* native_ = nullptr;
};

// Child roles: a function run instead of the tests when --child=ROLE names it. Its result is
// the process's exit code.
using child_main = int (*)(const std::vector<std::string>& arguments);
struct child_role_registrar {
    child_role_registrar(const char* role, child_main main);
};

}  // namespace tovi_test

#define TOVI_CHILD_ROLE(role)                                                                 \
    static int tovi_child_##role(const std::vector<std::string>& arguments);                  \
    static ::tovi_test::child_role_registrar tovi_child_registrar_##role(#role,               \
                                                                         &tovi_child_##role); \
    static int tovi_child_##role(const std::vector<std::string>& arguments)
