// POSIX only: what a killed client leaves in the shared-memory directory, and who reclaims it.
#include <gtest/gtest.h>

#include <thread>

#include "../stress_util.h"
#include "log/utf8_to_utf16.h"
#include "platform/posix/named_objects.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

// Connects (which opens the block named after the pipe), writes it, and waits to be killed.
TOVI_CHILD_ROLE(block_holder) {
    e2e::client_host client;
    if (!e2e::connect_within(client, arguments.at(0), "holder")) {
        return 2;
    }
    shared_memory_info info = {{1, 2, 3, 4, 5}};
    if (!client.f.write_shared_memory(client.handle, "data", 4, &info)) {
        return 3;
    }
    std::this_thread::sleep_for(60s);
    return 4;
}

TEST(stale_block, a_block_whose_writer_was_killed_is_removed_when_a_server_of_its_name_starts) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    std::string path;
    ASSERT_TRUE(tovi_posix::named_object_path(tovi_posix::named_kind::mapping,
                                              utf8_to_utf16(name.c_str(), -1).c_str(), &path));
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process holder("block_holder", {name});
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    ASSERT_TRUE(tovi_test::wait_until([&] { return tovi_test::file_exists(path); }, 30s));
    holder.kill();
    EXPECT_TRUE(tovi_test::file_exists(path));  // nobody closed it
    server.stop();
    ASSERT_TRUE(server.start(name));
    EXPECT_FALSE(tovi_test::file_exists(path));
}
