// The exported interface as a host sees it, in one process.
#include <gtest/gtest.h>

#include "host.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

TEST(exported_interface, every_entry_does_nothing_for_a_null_handle) {
    e2e::client_host client;
    e2e::server_host server;
    const shared_memory_info info{{1, 2, 3, 4, 5}};
    EXPECT_FALSE(client.f.init_log(nullptr, "dir", "file"));
    EXPECT_FALSE(client.f.connect(nullptr, "pipe", "id"));
    client.f.disconnect(nullptr);
    EXPECT_FALSE(client.f.send_string(nullptr, "text", 4));
    EXPECT_FALSE(client.f.send_bytestream(nullptr, "data", 4));
    EXPECT_FALSE(client.f.write_shared_memory(nullptr, "data", 4, &info));
    EXPECT_FALSE(server.f.init_log(nullptr, "dir", "file"));
    EXPECT_FALSE(server.f.start(nullptr, "pipe"));
    server.f.stop(nullptr);
    EXPECT_FALSE(server.f.send_string(nullptr, "id", "text", 4));
    EXPECT_FALSE(server.f.send_bytestream(nullptr, "id", "data", 4));
    EXPECT_FALSE(server.f.disconnect_client(nullptr, "id"));
    release_tovi_ipc_client(nullptr);
    release_tovi_ipc_server(nullptr);
}

TEST(exported_interface, a_factory_refuses_a_null_function_table) {
    EXPECT_EQ(nullptr, create_tovi_ipc_client(nullptr, nullptr));
    EXPECT_EQ(nullptr, create_tovi_ipc_server(nullptr, nullptr));
}

TEST(exported_interface, a_released_handle_stays_safe_to_pass) {
    const std::string name = tovi_test::unique_name("tovi_api");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    e2e::client_host client;
    ASSERT_TRUE(client.connect(name, "R"));
    ipc_handle* client_handle = client.handle;
    ipc_handle* server_handle = server.handle;
    release_tovi_ipc_client(client_handle);
    release_tovi_ipc_server(server_handle);
    EXPECT_FALSE(client.f.send_string(client_handle, "late", 4));
    EXPECT_FALSE(client.f.connect(client_handle, name.c_str(), "R"));
    client.f.disconnect(client_handle);
    EXPECT_FALSE(server.f.start(server_handle, name.c_str()));
    EXPECT_FALSE(server.f.send_string(server_handle, "R", "late", 4));
    release_tovi_ipc_client(client_handle);  // again: nothing happens
    release_tovi_ipc_server(server_handle);
}

TEST(exported_interface, a_client_without_callbacks_works_and_reports_nothing) {
    const std::string name = tovi_test::unique_name("tovi_api");
    e2e::server_host server;
    server.echo = true;
    ASSERT_TRUE(server.start(name));
    e2e::client_host quiet(false);
    ASSERT_TRUE(quiet.connect(name, "Q"));
    ASSERT_TRUE(quiet.send_string("echoed to nobody"));
    ASSERT_TRUE(server.events.wait_for("data", 1, 30s));
    server.stop();  // the client loses its pipe: still nothing to report to
    quiet.release();
}

TEST(exported_interface, a_server_with_only_the_data_callback_gets_only_data) {
    const std::string name = tovi_test::unique_name("tovi_api");
    e2e::server_host server(1);
    ASSERT_TRUE(server.start(name));
    {
        e2e::client_host client;
        ASSERT_TRUE(client.connect(name, "D"));
        ASSERT_TRUE(client.send_bytes(std::string("\0\1\2", 3)));
        ASSERT_TRUE(server.events.wait_for("data", 1, 30s));
        client.disconnect();
    }
    tovi_test::wait_until([] { return false; }, 200ms);  // room for reports that must not come
    const auto events = server.events.all();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("D", events[0].client_id);
    EXPECT_EQ(std::string("\0\1\2", 3), events[0].data);
}

TEST(exported_interface, the_shared_memory_block_is_open_from_connect_to_disconnect) {
    const std::string name = tovi_test::unique_name("tovi_api");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    e2e::client_host client;
    const shared_memory_info info{{1, 2, 3, 4, 5}};
    EXPECT_FALSE(client.f.write_shared_memory(client.handle, "block", 5, &info));
    ASSERT_TRUE(client.connect(name, "S"));
    EXPECT_FALSE(client.f.write_shared_memory(client.handle, "block", 5, nullptr));
    EXPECT_FALSE(client.f.write_shared_memory(client.handle, nullptr, 5, &info));
    EXPECT_TRUE(client.f.write_shared_memory(client.handle, "block", 5, &info));
    client.disconnect();
    EXPECT_FALSE(client.f.write_shared_memory(client.handle, "block", 5, &info));
}

TEST(exported_interface, releasing_a_connected_client_stops_its_threads_and_its_reports) {
    const std::string name = tovi_test::unique_name("tovi_api");
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    const size_t threads_before = tovi_test::thread_count();
    {
        e2e::client_host client;
        ASSERT_TRUE(client.connect(name, "T"));
        ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
        ASSERT_TRUE(server.send_string("T", "before"));
        ASSERT_TRUE(client.events.wait_for("data", 1, 30s));
        client.release();
        // Every thread of the client has ended (the system may list one for a moment).
        EXPECT_TRUE(tovi_test::wait_until(
            [&] { return tovi_test::thread_count() <= threads_before; }, 30s));
        server.send_string("T", "after");
        tovi_test::wait_until([] { return false; }, 200ms);
        EXPECT_EQ(1u, client.events.count("data"));
        EXPECT_EQ(0u, client.events.count("disconnect"));
    }
    ASSERT_TRUE(server.events.wait_for("disconnect", 1, 30s));
}
