// POSIX only: a process that opens a pipe's socket and never sends its request byte.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../stress_util.h"
#include "platform/posix/pipe_names.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

TEST(half_open, a_socket_that_never_says_what_it_wants_is_closed_after_the_deadline) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    std::string key = name;
    for (char& c : key) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    const tovi_posix::pipe_address address = tovi_posix::address_of(key);
    int fds[4];
    for (int& fd : fds) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0,
                  connect(fd, reinterpret_cast<const sockaddr*>(&address.address), address.length));
    }
    // The name stays served meanwhile.
    e2e::client_host client;
    ASSERT_TRUE(client.connect(name, "patient"));
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    for (int fd : fds) {
        pollfd ready{fd, POLLIN, 0};
        ASSERT_EQ(1, poll(&ready, 1, 60000));
        char byte = 0;
        EXPECT_EQ(0, recv(fd, &byte, 1, 0));  // closed, not answered
        close(fd);
    }
    EXPECT_TRUE(client.send_string("still here"));
}
