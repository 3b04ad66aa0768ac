// shared_memory_reader: the reading side of a shared-memory block. The public reader library
// (include/toviipc_shm.h) is this unit behind exported C functions.
//
// Opens a block that a writer created (the mapping and both slot mutexes, by name) and copies
// the newest write into a caller's buffer: it takes the newest slot's mutex without waiting and
// holds it for one copy only, so the writer never waits for it (a writer that finds it held
// writes the other slot). The block has one set of five values for both slots, those of the
// newest write; a read checks that no newer write began to replace them while it copied, and
// starts again when one did, so that the values it returns belong to the data it returns.
//
// Threads: one reader object is used by one thread at a time. Failures are reported by
// results; nothing is logged and nothing is thrown.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

// The 64-byte header as the reader sees it (layout in shared_memory_layout.h).
struct shared_memory_header {
    uint32_t info[5] = {0, 0, 0, 0, 0};
    uint32_t next_slot = 0;  // the slot the writer tries next; the newest data is in the other
    uint64_t slot_length[2] = {0, 0};

    bool operator==(const shared_memory_header& other) const;
    bool operator!=(const shared_memory_header& other) const { return !(*this == other); }
};

// What one read copied.
struct shared_memory_write {
    uint32_t info[5] = {0, 0, 0, 0, 0};
    int slot = -1;        // the slot that was read; -1 when nothing was
    uint64_t length = 0;  // bytes of the write (for too_small: the capacity it needs)
};

class shared_memory_reader {
  public:
    enum class result {
        ok,
        empty,      // the block exists, nothing was written yet
        busy,       // another reader holds the newest slot, or the writer kept outpacing the copy
        too_small,  // the caller's buffer cannot hold the newest write; nothing copied
        no_block,   // no block of that name exists
        bad_name,   // an empty name, or one too long for the mutex names
        refused,    // the mapping or a mutex is another user's, or another user may change it
        failed,     // the header names a slot that cannot be mapped, or the block cannot be opened
    };

    // How often wait_for_change looks at the header: the block has no notification of its own.
    static constexpr uint32_t change_poll_interval_ms = 2;

    shared_memory_reader() = default;
    ~shared_memory_reader() { close(); }
    shared_memory_reader(const shared_memory_reader&) = delete;
    shared_memory_reader& operator=(const shared_memory_reader&) = delete;

    // Opens the block named after name (UTF-8): ok, no_block when the mapping or a slot mutex
    // does not exist (no writer has the block open), bad_name, or failed (another error, such
    // as a block of another user).
    result open(const std::string& name);

    // Copies the newest write into buffer (capacity bytes) and fills *out: ok; empty when
    // nothing was written yet; busy; too_small with out->length set to the size needed;
    // failed when the header names a slot that cannot be mapped (a damaged header), or closed.
    result read(char* buffer, uint64_t capacity, shared_memory_write* out);

    // Reads the header alone, without a mutex (for noticing new writes). False when closed.
    bool peek(shared_memory_header* out) const;

    // Returns true as soon as the header differs from seen, false when timeout_ms passed
    // first (or when closed); *now gets the header last seen. Two writes between two looks at
    // the header that restore it exactly (same values, same lengths) go unnoticed.
    bool wait_for_change(const shared_memory_header& seen, uint32_t timeout_ms,
                         shared_memory_header* now) const;

    void close();

  private:
    // A mapped view of a slot's data, kept between reads.
    struct view {
        void* address = nullptr;
        uint64_t offset = 0;
        uint64_t length = 0;
    };

    // Copies slot's data under its mutex, which the caller holds.
    result copy_slot(int slot, char* buffer, uint64_t capacity, shared_memory_write* out);
    // A view of length bytes at offset: the slot's kept view when it covers them, else a new
    // one that replaces it (views only grow, like the writer's). Null when it cannot be mapped.
    const void* slot_view(int slot, uint64_t offset, uint64_t length);

    HANDLE mapping_ = nullptr;
    HANDLE mutexes_[2] = {nullptr, nullptr};
    void* header_ = nullptr;
    view views_[2];
};
