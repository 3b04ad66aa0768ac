// The writer of a client's double-buffered shared-memory block: creating it, and writes that
// never wait for a reader.
#include "shm/shared_memory.h"

#include <cstring>

#include "log/utf8_to_utf16.h"
#include "shm/shared_memory_layout.h"

namespace {

uint64_t allocation_granularity() {
    static const uint64_t granularity = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<uint64_t>(info.dwAllocationGranularity);
    }();
    return granularity;
}

DWORD view_access(uint32_t access) {
    DWORD flags = 0;
    if (access & 1)
        flags |= FILE_MAP_READ;
    if (access & 2)
        flags |= FILE_MAP_WRITE;
    return flags;
}

// Takes a slot's mutex without waiting. One left by a dead owner is ours now, like a free one.
bool try_take(HANDLE mutex) {
    const DWORD result = WaitForSingleObject(mutex, 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

}  // namespace

bool shared_memory::create(const std::string& name, uint64_t data_size, uint32_t access) {
    if (mapping_ != nullptr) {
        return false;
    }
    close();  // mutexes left open by an earlier create whose mapping failed
    create_error_ = 0;
    const std::wstring wide = utf8_to_utf16(name.c_str(), static_cast<int32_t>(name.size()));
    if (wide.empty() || shm_layout::utf16_units(wide) > shm_layout::name_limit_utf16) {
        return false;
    }
    const shm_layout::slots slots = shm_layout::slots_for(data_size, allocation_granularity());
    if (data_size <= slots.offset[0] || slots.capacity <= 0) {
        return false;
    }
    for (int slot = 0; slot < 2; ++slot) {
        mutexes_[slot] = CreateMutexW(nullptr, FALSE, shm_layout::mutex_name(wide, slot).c_str());
        if (mutexes_[slot] == nullptr) {
            create_error_ = GetLastError();
            close();
            return false;
        }
    }
    const uint64_t mapping_size = data_size + shm_layout::header_bytes;
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(mapping_size >> 32),
                                  static_cast<DWORD>(mapping_size), wide.c_str());
    if (mapping_ == nullptr) {
        create_error_ = GetLastError();
        return false;  // the mutexes stay open until close
    }
    access_ = access;
    slot_offsets_[0] = slots.offset[0];
    slot_offsets_[1] = slots.offset[1];
    slot_capacity_ = slots.capacity;
    header_ = MapViewOfFile(mapping_, view_access(access_), 0, 0, shm_layout::header_bytes);
    return true;
}

bool shared_memory::write(const char* data, uint32_t size, uint32_t v0, uint32_t v1, uint32_t v2,
                          uint32_t v3, uint32_t v4) {
    if (mapping_ == nullptr || data == nullptr || size == 0) {
        return false;
    }
    if (static_cast<int64_t>(size) >= slot_capacity_ || header_ == nullptr) {
        return false;
    }
    const uint32_t preferred = shm_layout::get_u32(header_, shm_layout::next_slot_at) == 1 ? 1 : 0;
    int slot;
    if (try_take(mutexes_[preferred])) {
        slot = static_cast<int>(preferred);
    } else if (try_take(mutexes_[1 - preferred])) {
        slot = static_cast<int>(1 - preferred);
    } else {
        return false;  // both slots are being read
    }

    if (static_cast<int64_t>(size) > mapped_sizes_[slot]) {
        // Views only grow: a smaller write reuses the larger view.
        void* view = MapViewOfFile(mapping_, view_access(access_),
                                   static_cast<DWORD>(slot_offsets_[slot] >> 32),
                                   static_cast<DWORD>(slot_offsets_[slot]), size);
        if (view == nullptr) {
            ReleaseMutex(mutexes_[slot]);
            return false;
        }
        if (slot_views_[slot] != nullptr) {
            UnmapViewOfFile(slot_views_[slot]);
        }
        slot_views_[slot] = view;
        mapped_sizes_[slot] = size;
        shm_layout::put_u64(header_, shm_layout::slot_offset_at[slot], slot_offsets_[slot]);
    }
    std::memcpy(slot_views_[slot], data, size);

    shm_layout::put_u32(header_, shm_layout::next_slot_at, static_cast<uint32_t>(1 - slot));
    // A reader of the other slot sees next_slot change before the values it may have read.
    shm_layout::header_fence(std::memory_order_release);
    shm_layout::put_u64(header_, shm_layout::slot_length_at[slot], size);
    const uint32_t info[shm_layout::info_count] = {v0, v1, v2, v3, v4};
    for (size_t i = 0; i < shm_layout::info_count; ++i) {
        shm_layout::put_u32(header_, shm_layout::info_at + 4 * i, info[i]);
    }
    ReleaseMutex(mutexes_[slot]);
    return true;
}

void shared_memory::close() {
    for (HANDLE& mutex : mutexes_) {
        if (mutex != nullptr) {
            CloseHandle(mutex);
            mutex = nullptr;
        }
    }
    if (header_ != nullptr) {
        UnmapViewOfFile(header_);
        header_ = nullptr;
    }
    for (int slot = 0; slot < 2; ++slot) {
        if (slot_views_[slot] != nullptr) {
            UnmapViewOfFile(slot_views_[slot]);
            slot_views_[slot] = nullptr;
        }
        mapped_sizes_[slot] = 0;
    }
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
        mapping_ = nullptr;
    }
}
