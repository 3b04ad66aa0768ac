// shared_memory: the writer of a named, double-buffered shared-memory block.
//
// A client endpoint hands blocks of data, each with five 32-bit values, to a reader process
// through a named mapping with two slots (layout in shared_memory_layout.h). Each slot is
// guarded by a named mutex shared with the reader; a write takes the preferred slot's mutex
// without waiting, falls back to the other slot, and fails at once when both are held, so the
// writer never waits for the reader.
//
// Threads: the object has no lock. create, write and close of one block must not overlap; the
// client endpoint calls create from connect and close from disconnect and teardown.
// Failures are reported by false; nothing is logged.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

class shared_memory {
  public:
    shared_memory() = default;
    ~shared_memory() { close(); }
    shared_memory(const shared_memory&) = delete;
    shared_memory& operator=(const shared_memory&) = delete;

    // Creates, or opens as it is, the mapping named after name (UTF-8) with data_size + 64
    // bytes, and the two slot mutexes; maps the 64-byte header. access: bit 0 read, bit 1
    // write. False when a block is open, the name is empty or longer than 230 UTF-16 units (the
    // mutex names would not fit), or a mutex or the mapping cannot be created.
    bool create(const std::string& name, uint64_t data_size, uint32_t access);
    // The system's error code of the call that made the last create fail (ERROR_ACCESS_DENIED
    // also for an object refused as another user's); 0 when create refused its arguments.
    DWORD create_error() const { return create_error_; }

    // Copies size bytes into a free slot and records the five values, the slot's length and
    // the next slot in the header. False when closed, data is null, size is 0 or not below
    // the slot capacity, there is no header view, both slot mutexes are held elsewhere, or the
    // slot cannot be mapped. A slot mutex found abandoned by a dead owner counts as taken.
    bool write(const char* data, uint32_t size, uint32_t v0, uint32_t v1, uint32_t v2, uint32_t v3,
               uint32_t v4);

    // Closes the mutexes, unmaps every view and closes the mapping. Does nothing when closed.
    void close();

    bool is_open() const { return mapping_ != nullptr; }
    uint64_t slot_offset(int slot) const { return slot_offsets_[slot]; }
    int64_t slot_capacity() const { return slot_capacity_; }
    // Size of the slot's current view; 0 when the slot is not mapped.
    int64_t mapped_size(int slot) const { return mapped_sizes_[slot]; }

  private:
    HANDLE mapping_ = nullptr;
    HANDLE mutexes_[2] = {nullptr, nullptr};
    void* header_ = nullptr;
    void* slot_views_[2] = {nullptr, nullptr};
    uint32_t access_ = 0;
    uint64_t slot_offsets_[2] = {0, 0};
    int64_t mapped_sizes_[2] = {0, 0};
    int64_t slot_capacity_ = 0;
    DWORD create_error_ = 0;
};
