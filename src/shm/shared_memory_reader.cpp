// Reading the newest write of a shared-memory block, one slot mutex held for one copy.
#include "shm/shared_memory_reader.h"

#include <chrono>
#include <cstring>

#include "log/utf8_to_utf16.h"
#include "shm/shared_memory_layout.h"

namespace {

// Reads that start again because a newer write finished during the copy, before busy.
constexpr int consistent_read_attempts = 4;

bool slot_taken(HANDLE mutex) {
    const DWORD taken = WaitForSingleObject(mutex, 0);
    return taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED;  // a dead owner's is ours now
}

void copy_info(const void* header, uint32_t* info) {
    for (size_t i = 0; i < shm_layout::info_count; ++i) {
        info[i] = shm_layout::get_u32(header, shm_layout::info_at + 4 * i);
    }
}

}  // namespace

bool shared_memory_header::operator==(const shared_memory_header& other) const {
    return std::memcmp(info, other.info, sizeof(info)) == 0 && next_slot == other.next_slot &&
           slot_length[0] == other.slot_length[0] && slot_length[1] == other.slot_length[1];
}

shared_memory_reader::result shared_memory_reader::open(const std::string& name) {
    close();
    const std::wstring wide = utf8_to_utf16(name.c_str(), static_cast<int32_t>(name.size()));
    if (wide.empty() || shm_layout::utf16_units(wide) > shm_layout::name_limit_utf16 ||
        name.find('\0') != std::string::npos) {
        return result::bad_name;
    }
    bool missing = false;
    bool refused = false;  // another user's object: its bytes or mutexes are not to be trusted
    const auto note_failure = [&](HANDLE opened) {
        if (opened == nullptr) {
            const DWORD error = GetLastError();
            missing = missing || error == ERROR_FILE_NOT_FOUND;
            refused = refused || error == ERROR_ACCESS_DENIED;
        }
    };
    mapping_ = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
    note_failure(mapping_);
    for (int slot = 0; slot < 2; ++slot) {
        mutexes_[slot] = OpenMutexW(SYNCHRONIZE | MUTEX_ALL_ACCESS, FALSE,
                                    shm_layout::mutex_name(wide, slot).c_str());
        note_failure(mutexes_[slot]);
    }
    if (mapping_ != nullptr) {
        header_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, shm_layout::header_bytes);
    }
    if (header_ == nullptr || mutexes_[0] == nullptr || mutexes_[1] == nullptr) {
        close();
        return refused ? result::refused : missing ? result::no_block : result::failed;
    }
    return result::ok;
}

bool shared_memory_reader::peek(shared_memory_header* out) const {
    if (header_ == nullptr) {
        return false;
    }
    copy_info(header_, out->info);
    out->next_slot = shm_layout::get_u32(header_, shm_layout::next_slot_at);
    for (int slot = 0; slot < 2; ++slot) {
        out->slot_length[slot] = shm_layout::get_u64(header_, shm_layout::slot_length_at[slot]);
    }
    return true;
}

shared_memory_reader::result shared_memory_reader::copy_slot(int slot, char* buffer,
                                                             uint64_t capacity,
                                                             shared_memory_write* out) {
    const uint64_t offset = shm_layout::get_u64(header_, shm_layout::slot_offset_at[slot]);
    const uint64_t length = shm_layout::get_u64(header_, shm_layout::slot_length_at[slot]);
    copy_info(header_, out->info);
    out->slot = slot;
    out->length = length;
    if (length == 0) {
        return result::ok;
    }
    if (length > capacity || buffer == nullptr) {
        return result::too_small;
    }
    const void* view = slot_view(slot, offset, length);
    if (view == nullptr) {
        return result::failed;
    }
    std::memcpy(buffer, view, static_cast<size_t>(length));
    return result::ok;
}

const void* shared_memory_reader::slot_view(int slot, uint64_t offset, uint64_t length) {
    view& kept = views_[slot];
    if (kept.address != nullptr && kept.offset == offset && kept.length >= length) {
        return kept.address;
    }
    // The header comes from another process: a bad offset or length only makes the view fail.
    void* mapped = MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                                 static_cast<DWORD>(offset), static_cast<SIZE_T>(length));
    if (mapped == nullptr) {
        return nullptr;
    }
    if (kept.address != nullptr) {
        UnmapViewOfFile(kept.address);
    }
    kept = view{mapped, offset, length};
    return mapped;
}

shared_memory_reader::result shared_memory_reader::read(char* buffer, uint64_t capacity,
                                                        shared_memory_write* out) {
    *out = shared_memory_write{};
    if (header_ == nullptr) {
        return result::failed;
    }
    for (int attempt = 1;; ++attempt) {
        const uint32_t next_before = shm_layout::get_u32(header_, shm_layout::next_slot_at);
        if (shm_layout::get_u64(header_, shm_layout::slot_length_at[0]) == 0 &&
            shm_layout::get_u64(header_, shm_layout::slot_length_at[1]) == 0) {
            copy_info(header_, out->info);
            return result::empty;
        }
        // Only the newest slot, the one the writer will not try next: the values in the header
        // belong to the newest write alone.
        const int slot = next_before == 1 ? 0 : 1;
        if (!slot_taken(mutexes_[slot])) {
            return result::busy;  // another reader is copying it
        }
        const result copied = copy_slot(slot, buffer, capacity, out);
        // The values belong to the data just copied only when no write to the other slot has
        // begun its header update meanwhile (the writer changes next_slot before the values).
        shm_layout::header_fence(std::memory_order_acquire);
        const uint32_t next_after = shm_layout::get_u32(header_, shm_layout::next_slot_at);
        ReleaseMutex(mutexes_[slot]);
        if (copied == result::failed || next_before == next_after) {
            return copied;
        }
        if (attempt == consistent_read_attempts) {
            return result::busy;  // the writer keeps outpacing this reader
        }
    }
}

bool shared_memory_reader::wait_for_change(const shared_memory_header& seen, uint32_t timeout_ms,
                                           shared_memory_header* now) const {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!peek(now)) {
            return false;
        }
        if (*now != seen) {
            return true;
        }
        const clock::time_point at = clock::now();
        if (at >= deadline) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - at).count() + 1;
        Sleep(static_cast<DWORD>(left < change_poll_interval_ms ? left : change_poll_interval_ms));
    }
}

void shared_memory_reader::close() {
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
    for (view& kept : views_) {
        if (kept.address != nullptr) {
            UnmapViewOfFile(kept.address);
        }
        kept = view{};
    }
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
        mapping_ = nullptr;
    }
}
