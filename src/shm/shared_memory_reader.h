// shared_memory_reader: the reading side of a shared-memory block, for tools and tests.
//
// Opens a block that a writer created (the mapping and both slot mutexes, by name) and copies
// the newest data out of it: it takes the newest slot's mutex without waiting, falling back to
// the other slot, so that it never holds up the writer for longer than one copy.
//
// Threads: one reader object is used by one thread at a time. Failures are reported by
// results; nothing is logged and nothing is thrown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

struct shared_memory_snapshot {
    uint32_t info[5] = {0, 0, 0, 0, 0};
    uint32_t next_slot = 0;  // the slot the writer will try next
    int slot = -1;           // the slot that was read
    uint64_t length = 0;
    std::vector<char> data;
};

class shared_memory_reader {
  public:
    enum class result { ok, empty, busy, failed };

    shared_memory_reader() = default;
    ~shared_memory_reader() { close(); }
    shared_memory_reader(const shared_memory_reader&) = delete;
    shared_memory_reader& operator=(const shared_memory_reader&) = delete;

    // Opens the block named after name (UTF-8). False when the mapping or either mutex does
    // not exist (no writer has created the block), or the header cannot be mapped.
    bool open(const std::string& name);

    // Copies the newest slot: ok; empty when nothing was written yet; busy when both slot
    // mutexes are held; failed when the header names a slot that cannot be mapped.
    result read(shared_memory_snapshot* out);

    // Reads the header alone, without a mutex (for noticing new writes). False when closed.
    bool peek(shared_memory_snapshot* out) const;

    void close();

  private:
    bool copy_slot(int slot, shared_memory_snapshot* out);

    HANDLE mapping_ = nullptr;
    HANDLE mutexes_[2] = {nullptr, nullptr};
    void* header_ = nullptr;
};
