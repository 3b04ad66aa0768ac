// The links a server holds, by address and generation.
#include "transport/link_table.h"

#include "platform/scoped_critical_section.h"
#include "transport/pipe_connection.h"

namespace tovi {

link_table::link_table() {
    InitializeCriticalSection(&lock_);
}

link_table::~link_table() {
    links_.clear();
    DeleteCriticalSection(&lock_);
}

link_ref link_table::ref_of(const pipe_connection* link) {
    return link_ref{reinterpret_cast<uintptr_t>(link), link->generation()};
}

void link_table::add(std::shared_ptr<pipe_connection> link) {
    scoped_critical_section hold(lock_);
    const uintptr_t address = reinterpret_cast<uintptr_t>(link.get());
    links_[address] = std::move(link);
}

std::shared_ptr<pipe_connection> link_table::take(link_ref ref) {
    scoped_critical_section hold(lock_);
    const auto found = links_.find(ref.address);
    if (found == links_.end() || found->second->generation() != ref.generation) {
        return nullptr;
    }
    std::shared_ptr<pipe_connection> taken = std::move(found->second);
    links_.erase(found);
    return taken;
}

std::vector<std::shared_ptr<pipe_connection>> link_table::take_all() {
    std::vector<std::shared_ptr<pipe_connection>> taken;
    scoped_critical_section hold(lock_);
    for (auto& entry : links_) {
        taken.push_back(std::move(entry.second));
    }
    links_.clear();
    return taken;
}

std::vector<std::shared_ptr<pipe_connection>> link_table::all() {
    std::vector<std::shared_ptr<pipe_connection>> links;
    scoped_critical_section hold(lock_);
    links.reserve(links_.size());
    for (const auto& entry : links_) {
        links.push_back(entry.second);
    }
    return links;
}

void link_table::for_each(const std::function<void(pipe_connection&)>& visit) {
    scoped_critical_section hold(lock_);
    for (const auto& entry : links_) {
        visit(*entry.second);
    }
}

}  // namespace tovi
