#include <gtest/gtest.h>

#include "host.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

TOVI_CHILD_ROLE(echo_client) {
    e2e::client_host client;
    if (!client.connect(arguments.at(0), arguments.at(1)))
        return 2;
    if (!client.send_string("hello"))
        return 3;
    if (!client.events.wait_for("data", 1, 30s))
        return 4;
    if (client.events.all()[0].data != "hello")
        return 5;
    client.disconnect();
    return 0;
}

TEST(smoke, a_client_in_another_process_gets_its_text_back) {
    const std::string name = tovi_test::unique_name("tovi_e2e");
    e2e::server_host server;
    server.echo = true;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process client("echo_client", {name, "A1"});
    EXPECT_EQ(0, client.wait(30s));
    ASSERT_TRUE(server.events.wait_for("disconnect", 1, 30s));
    const auto events = server.events.all();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ("connect", events[0].kind);
    EXPECT_EQ("A1", events[0].client_id);
    EXPECT_EQ("data", events[1].kind);
    EXPECT_EQ("hello", events[1].data);
    server.stop();
}
