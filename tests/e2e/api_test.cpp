// The exported interface as a host sees it, in one process.
#include <gtest/gtest.h>

#include "host.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

namespace {

// Every entry of both tables refuses, or does nothing, for these handles.
void every_entry_refuses(const e2e::client_host& client, ipc_handle* client_handle,
                         const e2e::server_host& server, ipc_handle* server_handle) {
    const shared_memory_info info{{1, 2, 3, 4, 5}};
    EXPECT_FALSE(client.f.init_log(client_handle, "dir", "file"));
    EXPECT_FALSE(client.f.connect(client_handle, "pipe", "id"));
    client.f.disconnect(client_handle);
    EXPECT_FALSE(client.f.send_string(client_handle, "text", 4));
    EXPECT_FALSE(client.f.send_bytestream(client_handle, "data", 4));
    EXPECT_FALSE(client.f.write_shared_memory(client_handle, "data", 4, &info));
    EXPECT_FALSE(server.f.init_log(server_handle, "dir", "file"));
    EXPECT_FALSE(server.f.start(server_handle, "pipe"));
    server.f.stop(server_handle);
    EXPECT_FALSE(server.f.send_string(server_handle, "id", "text", 4));
    EXPECT_FALSE(server.f.send_bytestream(server_handle, "id", "data", 4));
    EXPECT_FALSE(server.f.disconnect_client(server_handle, "id"));
    release_tovi_ipc_client(client_handle);
    release_tovi_ipc_server(server_handle);
}

}  // namespace

TEST(exported_interface, a_null_or_released_handle_and_a_null_function_table_are_refused) {
    EXPECT_EQ(nullptr, create_tovi_ipc_client(nullptr, nullptr));
    EXPECT_EQ(nullptr, create_tovi_ipc_server(nullptr, nullptr));
    e2e::client_host client;
    e2e::server_host server;
    every_entry_refuses(client, nullptr, server, nullptr);
    const std::string name = tovi_test::unique_name("tovi_api");
    ASSERT_TRUE(server.start(name) && client.connect(name, "R"));
    release_tovi_ipc_client(client.handle);
    release_tovi_ipc_server(server.handle);
    every_entry_refuses(client, client.handle, server, server.handle);  // released twice, too
}

TEST(exported_interface, endpoints_with_missing_callbacks_report_only_what_they_have) {
    const std::string name = tovi_test::unique_name("tovi_api");
    e2e::server_host server(1);  // the data callback only
    server.echo = true;
    ASSERT_TRUE(server.start(name));
    e2e::client_host quiet(false), leaver;
    ASSERT_TRUE(quiet.connect(name, "Q"));
    ASSERT_TRUE(quiet.send_string("echoed to nobody"));
    ASSERT_TRUE(leaver.connect(name, "D"));
    ASSERT_TRUE(leaver.send_bytes(std::string("\0\1\2", 3)));
    ASSERT_TRUE(server.events.wait_for("data", 2, 30s));
    leaver.disconnect();
    tovi_test::wait_until([] { return false; }, 200ms);  // room for reports that must not come
    const auto events = server.events.all();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ("D", events[1].client_id);
    EXPECT_EQ(std::string("\0\1\2", 3), events[1].data);
    server.stop();  // the quiet client loses its pipe: still nothing to report to
    quiet.release();
}

// A connected client writes its block, and refuses a write without data or values. A release
// from an endpoint's own callback would wait for itself: it is refused with an error line, and
// the endpoint goes on.
TEST(exported_interface, releasing_a_connected_client_stops_its_threads_and_its_reports) {
    const std::string name = tovi_test::unique_name("tovi_api");
    const tovi_test::temp_dir logs("tovi_api_log");
    e2e::server_host server;
    ASSERT_TRUE(server.f.init_log(server.handle, logs.path().c_str(), "api.log"));
    server.on_connect_hook = [&](const char*) { release_tovi_ipc_server(server.handle); };
    ASSERT_TRUE(server.start(name));
    const size_t threads_before = tovi_test::thread_count();
    {
        e2e::client_host client;
        client.on_data_hook = [&](const char*, int32_t) { release_tovi_ipc_client(client.handle); };
        ASSERT_TRUE(client.connect(name, "T"));
        ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
        const shared_memory_info info{{1, 2, 3, 4, 5}};
        EXPECT_FALSE(client.f.write_shared_memory(client.handle, "block", 5, nullptr));
        EXPECT_FALSE(client.f.write_shared_memory(client.handle, nullptr, 5, &info));
        EXPECT_TRUE(client.f.write_shared_memory(client.handle, "block", 5, &info));
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
    for (const char* refused : {"release_tovi_ipc_server refused: called from a callback of this "
                                "server\r\n",
                                "release_tovi_ipc_client refused: called from a callback of this "
                                "client\r\n"}) {
        EXPECT_TRUE(tovi_test::wait_until(
            [&] {
                return tovi_test::read_file(logs / "api.log").find(refused) != std::string::npos;
            },
            30s))
            << refused;
    }
}
