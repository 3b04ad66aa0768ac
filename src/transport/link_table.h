// tovi::link_table: the links a server holds, each known by its address and its generation.
//
// Work posted for a link names it by a link_ref; a link that has left may be freed and a new
// one made at its address, so the generation (pipe_connection::generation) tells them apart:
// a ref of a link that left never finds the newer link. Every operation takes the table's own
// lock, a leaf: nothing runs under it but the visits of for_each.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/win32.h"

namespace tovi {

class pipe_connection;

struct link_ref {
    uintptr_t address = 0;
    uint64_t generation = 0;
};

class link_table {
  public:
    link_table();
    ~link_table();
    link_table(const link_table&) = delete;
    link_table& operator=(const link_table&) = delete;

    static link_ref ref_of(const pipe_connection* link);

    void add(std::shared_ptr<pipe_connection> link);
    // Takes out the link that ref names; null when it left before, even when another link now
    // has its address.
    std::shared_ptr<pipe_connection> take(link_ref ref);
    // Takes out every link.
    std::vector<std::shared_ptr<pipe_connection>> take_all();
    // Every link, held for the caller, who visits them without the lock.
    std::vector<std::shared_ptr<pipe_connection>> all();
    // Visits every link under the lock: visit must not block or take another lock.
    void for_each(const std::function<void(pipe_connection&)>& visit);

  private:
    CRITICAL_SECTION lock_;
    std::map<uintptr_t, std::shared_ptr<pipe_connection>> links_;  // lock_
};

}  // namespace tovi
