#include "transport/link_table.h"

#include <gtest/gtest.h>

#include "transport/pipe_connection.h"
#include "transport/pipe_handler_async.h"

// Work posted for a link that left (its leave, a second report of its break) names it by
// address and generation: a newer link that was given the same address is not taken for it.
TEST(link_table, a_ref_of_a_link_that_left_never_finds_a_newer_link_at_its_address) {
    tovi::pipe_handler_async loop;
    tovi::link_table links;
    auto first = std::make_shared<tovi::pipe_connection>(3, &loop);
    const tovi::link_ref gone = tovi::link_table::ref_of(first.get());
    links.add(first);
    EXPECT_EQ(first, links.take(gone));
    EXPECT_EQ(nullptr, links.take(gone));  // a second report of its leave finds nothing
    first.reset();
    // The allocator hands out the freed address again, sooner or later.
    std::vector<std::shared_ptr<tovi::pipe_connection>> made;
    std::shared_ptr<tovi::pipe_connection> newer;
    for (int i = 0; i < 1000 && newer == nullptr; ++i) {
        auto link = std::make_shared<tovi::pipe_connection>(3, &loop);
        if (tovi::link_table::ref_of(link.get()).address == gone.address) {
            newer = link;
        } else {
            made.push_back(link);
        }
    }
    if (newer == nullptr) {
        GTEST_SKIP() << "the allocator never gave the address out again";
    }
    links.add(newer);
    EXPECT_EQ(nullptr, links.take(gone));
    EXPECT_EQ(newer, links.take(tovi::link_table::ref_of(newer.get())));
}
