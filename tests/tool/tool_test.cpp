// The toviipc tool and the example hosts as processes: what a script sees on their output,
// and their exit statuses. The same cases run natively and, for the Windows build, under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>

#include "child_process.h"
#include "json_line.h"
#include "support/test_support.h"
#include "toviipc.h"
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

using namespace std::chrono_literals;
using toviipc::event_fields;

namespace {

constexpr auto patience = 60s;  // for a process to start and answer, also on a loaded machine

#if defined(_WIN32)
// A string of the version resource of a Windows binary (its US English, Unicode block), read
// back as Windows reads it; empty when there is none. The build's paths and values are ASCII.
std::string version_value(const std::string& path, const wchar_t* name) {
    const std::wstring file(path.begin(), path.end());
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(file.c_str(), &ignored));
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (block.empty() ||
        !GetFileVersionInfoW(file.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), key.c_str(), &value, &length)) {
        return {};
    }
    const std::wstring text(static_cast<const wchar_t*>(value));
    return std::string(text.begin(), text.end());
}
#endif

// A path from the build, as this process must name it: under Wine a Unix path is on drive Z.
std::string built(const char* path) {
    std::string out = path;
#if defined(_WIN32)
    if (!out.empty() && out[0] == '/') {
        out = "Z:" + out;
    }
    for (char& c : out) {
        c = c == '/' ? '\\' : c;
    }
#endif
    return out;
}

// A running program whose output lines are collected by a thread of their own.
class running {
  public:
    running(const std::string& executable, const std::vector<std::string>& arguments,
            bool capture_errors = false) {
        started_ = process.start(executable, arguments, capture_errors);
        if (started_) {
            reader_ = std::thread([this] {
                std::string line;
                while (process.read_line(&line)) {
                    std::lock_guard<std::mutex> hold(lock_);
                    lines_.push_back(line);
                }
            });
        }
    }
    ~running() {
        process.kill();
        if (reader_.joinable()) {
            reader_.join();
        }
    }

    bool started() const { return started_; }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }

    // The first JSON line of this event whose fields include every field of with; an empty
    // map when none came within patience.
    event_fields wait_event(const std::string& event, const event_fields& with = {}) {
        event_fields found;
        tovi_test::wait_until([&] { return find(event, with, &found); }, patience);
        return found;
    }

    bool wait_line(const std::string& text) {
        return tovi_test::wait_until(
            [&] {
                const auto all = lines();
                return std::find(all.begin(), all.end(), text) != all.end();
            },
            patience);
    }

    // Waits for the process to end and for its last line to be read; -1 when it did not end.
    int exit_status() {
        const int status = process.wait(patience);
        if (status != -1 && reader_.joinable()) {
            reader_.join();
        }
        return status;
    }

    toviipc::child_process process;

  private:
    bool find(const std::string& event, const event_fields& with, event_fields* found) {
        for (const std::string& line : lines()) {
            event_fields fields;
            if (toviipc::parse_event_line(line, &fields) &&
                toviipc::event_matches(fields, event, with)) {
                *found = fields;
                return true;
            }
        }
        return false;
    }

    bool started_ = false;
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::thread reader_;
};

class tool : public ::testing::Test {
  protected:
    const std::string toviipc = built(TOVIIPC_TOOL);
    const std::string pipe = tovi_test::unique_name("tool");

    std::unique_ptr<running> run(const std::vector<std::string>& arguments,
                                 bool capture_errors = false) {
        auto process = std::make_unique<running>(toviipc, arguments, capture_errors);
        EXPECT_TRUE(process->started());
        return process;
    }

    // A server on this test's pipe that takes commands on its input; stopped by stop_server.
    std::unique_ptr<running> start_server(const std::vector<std::string>& options = {},
                                          bool capture_errors = false) {
        std::vector<std::string> arguments{"server", pipe, "--control", "--json"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto server = run(arguments, capture_errors);
        EXPECT_FALSE(server->wait_event("listening", {{"pipe", pipe}}).empty()) << "not listening";
        return server;
    }

    // The end of its input stops a --control server; natively an interrupt is tried instead.
    static void stop_server(running& server) {
        if (!server.process.interrupt()) {
            server.process.close_input();
        }
        EXPECT_EQ(0, server.exit_status());
        ASSERT_FALSE(server.lines().empty());
        EXPECT_NE(std::string::npos, server.lines().back().find("\"event\":\"stopped\""));
    }
};

// A client without a server, and a second server on a name, exit 4.
TEST_F(tool, a_text_goes_to_an_echo_server_and_comes_back_and_both_print_json_lines) {
    EXPECT_EQ(4, run({"client", pipe, "X1"})->exit_status());
    auto server = start_server({"--echo"});
    if (!tovi_test::running_under_wine()) {  // Wine's pipes let a second server share the name
        EXPECT_EQ(4, run({"server", pipe})->exit_status());
    }
    auto client = run({"client", pipe, "C1", "--send", "hi", "--json"});

    EXPECT_FALSE(server->wait_event("connect", {{"client", "C1"}}).empty());
    const event_fields arrived = server->wait_event("message", {{"client", "C1"}});
    EXPECT_EQ("2", arrived.at("length"));
    EXPECT_EQ("6869", arrived.at("hex"));
    EXPECT_EQ("hi", arrived.at("text"));
    const event_fields echoed = client->wait_event("message");
    ASSERT_EQ(1u, echoed.count("text"));
    EXPECT_EQ("2", echoed.at("length"));
    EXPECT_EQ("6869", echoed.at("hex"));
    EXPECT_EQ("hi", echoed.at("text"));
    EXPECT_EQ(0u, echoed.count("client"));  // from the server, who has no id
    EXPECT_FALSE(client->wait_event("connected", {{"client", "C1"}, {"pipe", pipe}}).empty());
    EXPECT_FALSE(client->wait_event("sent", {{"text", "hi"}}).empty());

    // A second C1 that sends and leaves at once is told, before it leaves, that the id is
    // taken, and exits 3; the server's host never sees what it sent.
    auto impostor = run({"client", pipe, "C1", "--send", "impostor", "--json"});
    impostor->process.close_input();
    EXPECT_EQ(3, impostor->exit_status());
    event_fields refused = impostor->wait_event("disconnect");
    EXPECT_NE(std::string::npos, refused["reason"].find("the id is taken")) << refused["reason"];
    for (const std::string& line : server->lines()) {
        EXPECT_EQ(std::string::npos, line.find("impostor")) << line;
    }

    // The server goes away while the client stays: the client says so and exits 3.
    stop_server(*server);
    EXPECT_FALSE(client->wait_event("disconnect").empty());
    EXPECT_EQ(3, client->exit_status());
}

TEST_F(tool, a_client_without_actions_sends_its_input_lines_and_leaves_when_input_ends) {
    auto server = start_server({}, true);
    auto client = run({"client", pipe, "L1", "--json"});
    ASSERT_FALSE(server->wait_event("connect", {{"client", "L1"}}).empty());

    // A quote, a tab and non-ASCII text survive the tool's escaping in both directions; the
    // empty line is not sent.
    const std::string tricky = "gr\xc3\xbc\xc3\x9f \"q\"\tend\\";
    client->process.write_input("first\r\n\n" + tricky + "\nlast");
    client->process.close_input();
    EXPECT_FALSE(server->wait_event("message", {{"text", "last"}}).empty());
    std::vector<std::string> texts;
    for (const std::string& line : server->lines()) {
        event_fields fields;
        if (toviipc::parse_event_line(line, &fields) && fields["event"] == "message") {
            texts.push_back(fields["text"]);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"first", tricky, "last"}), texts);
    EXPECT_EQ(0, client->exit_status());
    EXPECT_FALSE(client->wait_event("leave", {{"client", "L1"}}).empty());
    EXPECT_FALSE(server->wait_event("disconnect", {{"client", "L1"}}).empty());

    // A send to a client that has left fails, and the server says so; a command line that
    // lacks something is named on standard error, and the server goes on.
    server->process.write_input("send\nsend L1\nsend-hex L1 0\ndrop\nhello\nsend-hex L1 00ff\n");
    EXPECT_FALSE(server->wait_event("send-failed", {{"client", "L1"}}).empty());
    stop_server(*server);
    const std::string errors = server->process.read_errors();
    for (const char* reason :
         {"send needs a client ID and a TEXT\n", "send needs a TEXT after the client ID\n",
          "send-hex: an odd number of hexadecimal digits (in '0')", "drop takes one client ID\n",
          "unknown command: hello\n"}) {
        EXPECT_NE(std::string::npos, errors.find(reason)) << errors;
    }
}

// shm-read, and the example reader, print the block a client wrote with its five values, and
// exit 4 (1) once the block is gone; --follow prints each new write, from any client.
TEST_F(tool, shm_read_shows_what_clients_wrote_with_their_five_values) {
    auto server = start_server();
    auto writer = run({"client", pipe, "W1", "--shm", "block text", "--info",
                       "7,0,4294967295,0x10,5", "--send-hex", "00ff", "--json"});
    ASSERT_FALSE(writer->wait_event("shm").empty());
    const event_fields bytes = server->wait_event("message", {{"client", "W1"}});
    EXPECT_EQ("00ff", bytes.at("hex"));
    EXPECT_EQ(0u, bytes.count("text"));

    auto reader = run({"shm-read", pipe, "--json"});
    EXPECT_EQ(0, reader->exit_status());
    const event_fields block = reader->wait_event("shm");
    ASSERT_FALSE(block.empty());
    EXPECT_EQ("0", block.at("slot"));
    EXPECT_EQ("7,0,4294967295,16,5", block.at("info"));
    EXPECT_EQ("10", block.at("length"));
    EXPECT_EQ("block text", block.at("text"));
    running example(built(EXAMPLE_SHM_READER), {pipe, "1"});
    EXPECT_EQ(0, example.exit_status());
    EXPECT_EQ((std::vector<std::string>{
                  "slot 0, values 7,0,4294967295,16,5, 10 bytes: 62 6c 6f 63 6b 20 74 65 78 74"}),
              example.lines());

    auto follower = run({"shm-read", pipe, "--follow", "--json"});
    EXPECT_FALSE(follower->wait_event("shm", {{"text", "block text"}, {"slot", "0"}}).empty());
    // A second client of the pipe writes the same block, into the slot the first did not use.
    auto second = run({"client", pipe, "W2", "--shm", "two", "--info", "2,2,2,2,2", "--json"});
    EXPECT_FALSE(
        follower->wait_event("shm", {{"text", "two"}, {"slot", "1"}, {"info", "2,2,2,2,2"}})
            .empty());
    if (follower->process.interrupt()) {
        EXPECT_EQ(0, follower->exit_status());
    } else {
        follower->process.kill();  // it holds the block open
    }

    // The block lives while its writers are connected.
    for (auto* client : {writer.get(), second.get()}) {
        client->process.close_input();
        EXPECT_EQ(0, client->exit_status());
    }
    EXPECT_FALSE(server->wait_event("disconnect", {{"client", "W2"}}).empty());
    EXPECT_FALSE(server->wait_event("disconnect", {{"client", "W1"}}).empty());
    auto late_reader = run({"shm-read", pipe});
    EXPECT_EQ(4, late_reader->exit_status());
    running late_example(built(EXAMPLE_SHM_READER), {pipe}, true);
    EXPECT_EQ(1, late_example.exit_status());
    EXPECT_NE(std::string::npos, late_example.process.read_errors().find("no block of that name"));
    stop_server(*server);
}

TEST_F(tool, a_client_with_stay_leaves_in_time_although_its_input_stays_open) {
    const tovi_test::temp_dir logs("tool_logs");
    auto server = start_server({"--log", logs.path()});
    // A text may begin with a dash; "--" ends the options.
    auto client = run({"client", "--send", "-5 degrees", "--stay=0.5", "--json", "--", pipe, "S1"});
    EXPECT_FALSE(server->wait_event("message", {{"text", "-5 degrees"}}).empty());
    EXPECT_EQ(0, client->exit_status());
    EXPECT_FALSE(client->wait_event("leave", {{"client", "S1"}}).empty());
    EXPECT_FALSE(server->wait_event("disconnect", {{"client", "S1"}}).empty());
    stop_server(*server);

    // --log: the server's log file, named after its role and process.
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(logs.path())) {
        if (entry.path().filename().string().rfind("toviipc-server-", 0) == 0) {
            log = tovi_test::read_file(entry.path().string());
        }
    }
    EXPECT_NE(std::string::npos, log.find("win::pipe_server::start_server")) << log;
}

// Bad arguments exit 2 with one line on standard error that gives the reason; --help exits 0
// with the command's usage.
TEST_F(tool, bad_arguments_exit_2_with_their_reason_and_help_0_with_the_usage) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"server", "--help"}, "usage: toviipc server"},
        {{"client", "--help"}, "usage: toviipc client"},
        {{"shm-read", "--help"}, "usage: toviipc shm-read"},
        {{"demo", "--help"}, "usage: toviipc demo"},
        {{}, "missing a command"},
        {{"bogus"}, "unknown command 'bogus'"},
        {{"server"}, "missing the pipe NAME"},
        {{"server", "n", "--log"}, "--log needs a value"},
        {{"server", "n", "--log", ""}, "--log needs a directory"},
        {{"server", "n", "--bogus"}, "unknown option: --bogus"},
        {{"server", "n", "-e"}, "unknown option: -e"},
        {{"server", "n", "m"}, "unexpected argument: m"},
        {{"server", "n", "--json=yes"}, "--json takes no value"},
        {{"client", "n"}, "missing the client ID"},
        {{"client", "n", ""}, "must not be empty"},
        {{"client", "n", "id", "--send"}, "--send needs a value"},
        {{"client", "n", "id", "--send="}, "--send needs a text of at least one byte"},
        {{"client", "n", "id", "--info", "1,2,3,4,5"}, "--info must follow a --shm"},
        {{"client", "n", "id", "--shm", "x", "--info", "1,2,3,4"}, "five values"},
        {{"client", "n", "id", "--send-hex", "0g"}, "'g' is not a hexadecimal digit"},
        {{"client", "n", "id", "--send-hex", "0"}, "an odd number of hexadecimal digits"},
        {{"client", "n", "id", "--send-hex", " "}, "--send-hex needs at least one byte"},
        {{"client", "n", "id", "--stay", "0"}, "positive number of seconds, not '0'"},
        {{"client", "n", "id", "--stay", "-1"}, "positive number of seconds, not '-1'"},
        {{"client", "n", "id", "--stay=nan"}, "positive number of seconds, not 'nan'"},
        {{"client", "n", "id", "--stay", "1e9"}, "at most 10000000 seconds"},
        {{"client", "n", "id", "--stay", "inf"}, "at most 10000000 seconds"},
        {{"client", "n", "id", "--stay", "1s"}, "a number of seconds, not '1s'"},
        {{"shm-read"}, "missing the block NAME"},
        {{"demo", "now"}, "unexpected argument: now"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.first) {
            shown += " '" + a + "'";
        }
        SCOPED_TRACE("toviipc" + shown);
        auto process = run(c.first, true);
        const std::string errors = process->process.read_errors();
        const bool help = c.second.rfind("usage", 0) == 0;
        EXPECT_EQ(help ? 0 : 2, process->exit_status());
        if (help) {
            ASSERT_FALSE(process->lines().empty());
            EXPECT_EQ(c.second, process->lines()[0].substr(0, c.second.size()));
            continue;
        }
        EXPECT_TRUE(process->lines().empty());
        EXPECT_NE(std::string::npos, errors.find(c.second)) << errors;
        EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
    }
}

TEST_F(tool, the_version_is_the_headers_everywhere) {
    EXPECT_EQ(std::to_string(TOVIIPC_VERSION_MAJOR) + "." + std::to_string(TOVIIPC_VERSION_MINOR) +
                  "." + std::to_string(TOVIIPC_VERSION_PATCH),
              TOVIIPC_VERSION_STRING);
    auto version = run({"--version"});
    EXPECT_EQ(0, version->exit_status());
    EXPECT_EQ((std::vector<std::string>{"toviipc " TOVIIPC_VERSION_STRING}), version->lines());
#if defined(_WIN32)
    // The Windows binaries carry the same version in their resources.
    for (const char* file : {TOVIIPC_TOOL, TOVIIPC_LIBRARY, TOVIIPC_READER_LIBRARY}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(TOVIIPC_VERSION_STRING, version_value(built(file), L"FileVersion"));
        EXPECT_EQ(TOVIIPC_VERSION_STRING, version_value(built(file), L"ProductVersion"));
        EXPECT_EQ("ToviIPC", version_value(built(file), L"ProductName"));
        EXPECT_NE(std::string::npos,
                  version_value(built(file), L"FileDescription").find("ToviIPC"));
    }
#endif
}

TEST(examples, the_example_client_gets_its_answer_from_the_example_server) {
    const std::string pipe = tovi_test::unique_name("example");
    running server(built(EXAMPLE_SERVER), {pipe});
    ASSERT_TRUE(server.wait_line("listening on " + pipe));
    running client(built(EXAMPLE_CLIENT), {pipe, "E1", "hello"});
    EXPECT_EQ(0, client.exit_status());
    EXPECT_EQ((std::vector<std::string>{"answer: echo: hello"}), client.lines());
    // The server stops once its first client has left.
    EXPECT_EQ(0, server.exit_status());
    EXPECT_EQ((std::vector<std::string>{"listening on " + pipe, "E1 connected", "E1 says: hello",
                                        "E1 left"}),
              server.lines());
}

}  // namespace
