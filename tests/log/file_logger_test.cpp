// The process's log file, observed through the file itself.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/log_testing.h"
#include "log/utf8_to_utf16.h"
#include "platform/win32.h"
#include "support/test_support.h"

using namespace std::chrono_literals;
using tovi_test::wait_until;

namespace {

using tovi_test::count_of;

class log_file : public ::testing::Test {
  protected:
    void TearDown() override {
        log_release();
        reset_log_rotation_threshold_for_testing();
    }

    // The path handed to log_open, with a backslash as the library's callers write it.
    // Reading a log while it rotates can fail on Windows (the rename holds it), so tests read
    // in wait_until loops or after the rotations are over.
    std::wstring log_path(const std::string& name) const {
        return utf8_to_utf16((root_.path() + "\\" + name).c_str(), -1);
    }
    // The same file as the test reads it.
    std::string file(const std::string& name) const { return root_ / name; }
    std::string read(const std::string& name) const { return tovi_test::read_file(file(name)); }
    uintmax_t size_of(const std::string& name) const {
        std::error_code error;
        const uintmax_t size = std::filesystem::file_size(file(name), error);
        return error ? 0 : size;
    }

    bool wait_for_text(const std::string& name, const std::string& needle) const {
        return wait_until([&] { return read(name).find(needle) != std::string::npos; }, 30s);
    }

    const tovi_test::temp_dir root_{"tovi_log"};
};

}  // namespace

TEST_F(log_file, a_line_carries_stamp_milliseconds_ids_prefix_and_message_in_utf8) {
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    log_error(L"win::pipe_server::start_server %s %d", L"caf\u00e9 \U0001F600", 42);
    ASSERT_TRUE(wait_for_text("app.log", "\r\n"));

    const std::string content = read("app.log");
    std::ostringstream pattern;
    pattern << "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
               "(0[1-9]|[12][0-9]|3[01]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] [0-9]{4}: "
               "(0|[1-9][0-9]{0,2}) \\["
            << GetCurrentProcessId() << "\\] \\[" << GetCurrentThreadId()
            << "\\] :error win::pipe_server::start_server caf\xC3\xA9 \xF0\x9F\x98\x80 42\r\n";
    EXPECT_TRUE(std::regex_match(content, std::regex(pattern.str()))) << content;
}

TEST_F(log_file, rotation_shifts_the_backups_and_starts_an_empty_file) {
    {
        std::ofstream(file("app.log.bk"), std::ios::binary) << "older";
        std::ofstream(file("app.log.bk.bk"), std::ios::binary) << "oldest";
    }
    set_log_rotation_threshold_for_testing(1000);
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    // One line takes the file past the threshold; the batch is written, then the file rotated.
    log_info(L"big %s", std::wstring(1000, L'b').c_str());
    // Watched without opening the files: on Windows an open reader would block the renames.
    ASSERT_TRUE(wait_until([&] { return size_of("app.log.bk") > 1000; }, 30s));
    EXPECT_EQ("older", read("app.log.bk.bk"));
    EXPECT_EQ("", read("app.log"));
    log_info(L"after");
    ASSERT_TRUE(wait_for_text("app.log", ":info after\r\n"));
    EXPECT_EQ(std::string::npos, read("app.log").find("big"));
}

TEST_F(log_file, a_file_above_30_mib_at_open_is_rotated_before_the_first_line) {
    const uintmax_t threshold = 31457280;
    { std::ofstream(file("app.log"), std::ios::binary) << "start"; }
    std::filesystem::resize_file(file("app.log"), threshold);
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    EXPECT_FALSE(tovi_test::file_exists(file("app.log.bk"))) << "exactly 30 MiB is not above it";
    EXPECT_EQ(threshold, std::filesystem::file_size(file("app.log")));
    log_close();

    std::filesystem::resize_file(file("app.log"), threshold + 1);
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    EXPECT_EQ(threshold + 1, std::filesystem::file_size(file("app.log.bk")));
    EXPECT_EQ(0u, std::filesystem::file_size(file("app.log")));
    log_info(L"first");
    ASSERT_TRUE(wait_for_text("app.log", ":info first\r\n"));
}

TEST_F(log_file, every_line_of_eight_threads_arrives_in_each_threads_order) {
    constexpr int thread_count = 8;
    constexpr int lines_per_thread = 10000;
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([t] {
            for (int n = 0; n < lines_per_thread; ++n) {
                log_info(L"%d %d", t, n);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const size_t expected = thread_count * lines_per_thread;
    ASSERT_TRUE(wait_until([&] { return count_of(read("app.log"), "\r\n") == expected; }, 60s))
        << count_of(read("app.log"), "\r\n") << " lines";

    std::istringstream lines(read("app.log"));
    std::map<int, int> next_of_thread;
    std::string line;
    while (std::getline(lines, line)) {
        const size_t message = line.find(":info ");
        ASSERT_NE(std::string::npos, message) << line;
        std::istringstream numbers(line.substr(message + 6));
        int t = -1;
        int n = -1;
        numbers >> t >> n;
        ASSERT_EQ(next_of_thread[t], n) << "thread " << t;
        ++next_of_thread[t];
    }
    ASSERT_EQ(static_cast<size_t>(thread_count), next_of_thread.size());
    for (const auto& entry : next_of_thread) {
        EXPECT_EQ(lines_per_thread, entry.second);
    }
}

// A second open moves the log, and what was logged before it goes to the first file.
TEST_F(log_file, an_open_creates_missing_directories_and_moves_the_log_or_fails_turning_it_off) {
    EXPECT_EQ(-1, log_close()) << "nothing open";
    ASSERT_TRUE(log_open(log_path("a\\b\\c\\first.log").c_str()));
    log_info(L"one");
    ASSERT_TRUE(log_open(log_path("second.log").c_str()));
    log_info(L"two");
    ASSERT_TRUE(wait_for_text("second.log", ":info two\r\n"));
    ASSERT_TRUE(wait_for_text("a/b/c/first.log", ":info one\r\n"));
    EXPECT_EQ(std::string::npos, read("a/b/c/first.log").find("two"));
    EXPECT_EQ(std::string::npos, read("second.log").find("one"));

    // A directory cannot be created below a regular file.
    { std::ofstream(file("plain"), std::ios::binary) << "x"; }
    EXPECT_FALSE(log_open(log_path("plain\\sub\\app.log").c_str()));
    log_info(L"lost");
    EXPECT_EQ(-1, log_close()) << "the failed open left no logger";
    ASSERT_TRUE(log_open(log_path("second.log").c_str()));
    log_info(L"marker");
    ASSERT_TRUE(wait_for_text("second.log", ":info marker\r\n"));
    EXPECT_EQ(std::string::npos, read("second.log").find("lost"));
    EXPECT_EQ(0, log_close());
}

TOVI_CHILD_ROLE(log_before_open) {
    log_error(L"before any open");
    if (!log_open(utf8_to_utf16(arguments.at(0).c_str(), -1).c_str())) {
        return 2;
    }
    log_error(L"after open");
    return log_close() == 0 ? 0 : 3;
}

TEST_F(log_file, logging_before_any_open_does_nothing) {
    tovi_test::child_process child("log_before_open", {root_.path() + "\\app.log"});
    ASSERT_TRUE(child.started());
    ASSERT_EQ(0, child.wait(30s));
    ASSERT_TRUE(wait_for_text("app.log", ":error after open\r\n"));
    EXPECT_EQ(std::string::npos, read("app.log").find("before any open"));
}

TEST_F(log_file, a_rotation_that_cannot_move_the_file_keeps_the_live_log) {
    // Directories in the way of both backups: the file cannot become "app.log.bk".
    std::filesystem::create_directories(file("app.log.bk") + "/inside");
    std::filesystem::create_directories(file("app.log.bk.bk") + "/inside");
    set_log_rotation_threshold_for_testing(200);
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    log_info(L"first %s", std::wstring(300, L'1').c_str());
    ASSERT_TRUE(wait_for_text("app.log", ":info first 1"));
    log_info(L"second");
    ASSERT_TRUE(wait_for_text("app.log", ":info second\r\n"));
    // Closed first, so that no further rotation attempt races with the reading.
    log_close();
    EXPECT_NE(std::string::npos, read("app.log").find(":info first 1")) << "emptied by rotation";
    EXPECT_TRUE(std::filesystem::is_directory(file("app.log.bk") + "/inside"));
    EXPECT_TRUE(std::filesystem::is_directory(file("app.log.bk.bk") + "/inside"));
}

// Exit code 0 when no descriptor of this process refers to the file, 1 when one does, and 2
// where the system offers no way to tell.
TOVI_CHILD_ROLE(count_inherited_log_files) {
    std::error_code error;
    const std::filesystem::path descriptors("/proc/self/fd");
    if (!std::filesystem::is_directory(descriptors, error)) {
        return 2;
    }
    const auto log = std::filesystem::canonical(arguments.at(0), error);
    for (const auto& entry : std::filesystem::directory_iterator(descriptors, error)) {
        if (std::filesystem::read_symlink(entry.path(), error) == log) {
            return 1;
        }
    }
    return 0;
}

TEST_F(log_file, child_processes_do_not_inherit_the_log_file) {
    ASSERT_TRUE(log_open(log_path("app.log").c_str()));
    log_info(L"open");
    ASSERT_TRUE(wait_for_text("app.log", ":info open\r\n"));
    tovi_test::child_process child("count_inherited_log_files", {file("app.log")});
    ASSERT_TRUE(child.started());
    const int result = child.wait(30s);
    if (result == 2) {
        GTEST_SKIP() << "this system cannot list a process's open files";
    }
    EXPECT_EQ(0, result);
}

TEST_F(log_file, logging_stays_safe_while_another_thread_opens_and_releases_the_log) {
    std::atomic<bool> done{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t) {
        loggers.emplace_back([&done, t] {
            for (int n = 0; !done; ++n) {
                log_warning(L"thread %d line %d", t, n);
            }
        });
    }
    for (int round = 0; round < 30; ++round) {
        EXPECT_TRUE(log_open(log_path(round % 2 == 0 ? "even.log" : "odd.log").c_str()));
        log_info(L"round %d", round);
        if (round % 3 == 0) {
            log_release();
        }
    }
    // The last log stays open: the loggers' lines reach it.
    EXPECT_TRUE(wait_for_text("odd.log", ":warning thread"));
    done = true;
    for (auto& logger : loggers) {
        logger.join();
    }
    log_release();
    EXPECT_TRUE(wait_for_text("odd.log", ":info round 29\r\n"));
}
