// Many connections between two processes, each echoing frames of random sizes up to 1 MiB.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/pipe_test_util.h"
#include "support/test_support.h"
#include "transport/pipe_connection.h"
#include "transport/pipe_handler_async.h"

namespace {

using namespace std::chrono_literals;

constexpr int frames_per_connection = 100;

// 200 natively; fewer where every byte costs more (under Wine and the sanitizers).
int connection_count() {
#if defined(TOVI_SANITIZED_BUILD)
    return 50;
#else
    return tovi_test::running_under_wine() ? 50 : 200;
#endif
}

// Sizes spread evenly over the orders of magnitude from 16 bytes to 1 MiB.
uint32_t frame_size(std::mt19937& random) {
    std::uniform_real_distribution<double> exponent(4.0, 20.0);
    return static_cast<uint32_t>(std::pow(2.0, exponent(random)));
}

std::vector<char> frame_bytes(uint32_t connection, uint32_t sequence, uint32_t size) {
    std::vector<char> bytes(size);
    std::memcpy(bytes.data(), &connection, 4);
    std::memcpy(bytes.data() + 4, &sequence, 4);
    for (uint32_t i = 8; i < size; ++i) {
        bytes[i] = static_cast<char>(connection * 131 + sequence * 31 + i);
    }
    return bytes;
}

// Echoes every payload back on the connection it came from.
class echo_receiver : public win::pipe_recv_handle {
  public:
    bool on_pipe_recv_data(win::pipe_connection* connection, const char* data,
                           int32_t length) override {
        connection->send_data(data, static_cast<uint32_t>(length));
        return true;
    }
    void on_pipe_disconnect(win::pipe_connection*) override { ++disconnects; }
    std::atomic<int> disconnects{0};
};

// One client connection's side: sends a frame, checks its echo, sends the next.
class ping_pong : public win::pipe_recv_handle {
  public:
    ping_pong(uint32_t index, std::atomic<int>* finished) : index_(index), finished_(finished) {}

    void start(std::shared_ptr<win::pipe_connection> connection) {
        connection_ = connection;
        send_next();
    }
    bool on_pipe_recv_data(win::pipe_connection*, const char* data, int32_t length) override {
        if (std::vector<char>(data, data + length) != expected_) {
            failed = true;
        }
        if (++received_ == frames_per_connection) {
            ++*finished_;
        } else {
            send_next();
        }
        return true;
    }
    void on_pipe_disconnect(win::pipe_connection*) override { failed = true; }

    std::atomic<bool> failed{false};

  private:
    void send_next() {
        expected_ = frame_bytes(index_, static_cast<uint32_t>(received_), frame_size(random_));
        if (!connection_->send_data(expected_.data(), static_cast<uint32_t>(expected_.size()))) {
            failed = true;
        }
    }

    const uint32_t index_;
    std::atomic<int>* finished_;
    std::mt19937 random_{index_ + 1};
    std::shared_ptr<win::pipe_connection> connection_;
    std::vector<char> expected_;
    int received_ = 0;
};

}  // namespace

TOVI_CHILD_ROLE(echo_server) {
    const std::wstring path = conformance::pipe_path(arguments.at(0));
    const int count = std::stoi(arguments.at(1));
    win::pipe_handler_async loop;
    echo_receiver echo;
    std::vector<std::shared_ptr<win::pipe_connection>> connections;
    for (int i = 0; i < count; ++i) {
        HANDLE pipe =
            conformance::create_instance(path, i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        if (pipe == INVALID_HANDLE_VALUE)
            return 2;
        conformance::overlapped_op connect;
        if (!ConnectNamedPipe(pipe, &connect) && GetLastError() == ERROR_IO_PENDING &&
            !connect.signalled(60000)) {
            return 3;
        }
        connections.push_back(std::make_shared<win::pipe_connection>(3, &loop));
        connections.back()->init_pipe(pipe, &echo);
    }
    if (!tovi_test::wait_until([&] { return echo.disconnects == count; }, 300s))
        return 4;
    for (auto& connection : connections)
        connection->close(true);
    connections.clear();
    loop.stop_thread();
    return 0;
}

TEST(pipe_connection_stress, many_connections_echo_frames_whole_and_in_order) {
    const int count = connection_count();
    const std::string name = tovi_test::unique_name("tovi_stress");
    tovi_test::child_process server("echo_server", {name, std::to_string(count)});
    ASSERT_TRUE(server.started());

    win::pipe_handler_async loop;
    std::atomic<int> finished{0};
    std::vector<std::unique_ptr<ping_pong>> sides;
    std::vector<std::shared_ptr<win::pipe_connection>> connections;
    for (int i = 0; i < count; ++i) {
        sides.push_back(std::make_unique<ping_pong>(static_cast<uint32_t>(i), &finished));
        std::shared_ptr<win::pipe_connection> connection;
        ASSERT_TRUE(tovi_test::wait_until(
            [&] {
                connection = win::pipe_connection::connect_to_server(name, 3, 30000,
                                                                     sides.back().get(), &loop);
                return connection != nullptr;
            },
            60s))
            << "connection " << i;
        connections.push_back(connection);
    }
    for (int i = 0; i < count; ++i) {
        sides[static_cast<size_t>(i)]->start(connections[static_cast<size_t>(i)]);
    }
    EXPECT_TRUE(tovi_test::wait_until([&] { return finished == count; }, 300s))
        << finished << " of " << count << " finished";
    for (const auto& side : sides) {
        EXPECT_FALSE(side->failed);
    }
    for (auto& connection : connections) {
        win::pipe_connection::release_pipe_connection(connection);
    }
    EXPECT_EQ(0, server.wait(60s));
    loop.stop_thread();  // before the sides go: the connections still name them
}
