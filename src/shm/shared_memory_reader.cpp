#include "shm/shared_memory_reader.h"

#include <cstring>

#include "log/utf8_to_utf16.h"
#include "shm/shared_memory_layout.h"

bool shared_memory_reader::open(const std::string& name) {
    close();
    const std::wstring wide = utf8_to_utf16(name.c_str(), static_cast<int32_t>(name.size()));
    if (wide.empty()) {
        return false;
    }
    mapping_ = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
    for (int slot = 0; slot < 2; ++slot) {
        mutexes_[slot] = OpenMutexW(SYNCHRONIZE | MUTEX_ALL_ACCESS, FALSE,
                                    shm_layout::mutex_name(wide, slot).c_str());
    }
    if (mapping_ != nullptr) {
        header_ = MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, shm_layout::header_bytes);
    }
    if (header_ == nullptr || mutexes_[0] == nullptr || mutexes_[1] == nullptr) {
        close();
        return false;
    }
    return true;
}

bool shared_memory_reader::peek(shared_memory_snapshot* out) const {
    if (header_ == nullptr) {
        return false;
    }
    for (size_t i = 0; i < shm_layout::info_count; ++i) {
        out->info[i] = shm_layout::get_u32(header_, shm_layout::info_at + 4 * i);
    }
    out->next_slot = shm_layout::get_u32(header_, shm_layout::next_slot_at);
    return true;
}

bool shared_memory_reader::copy_slot(int slot, shared_memory_snapshot* out) {
    peek(out);
    const uint64_t offset = shm_layout::get_u64(header_, shm_layout::slot_offset_at[slot]);
    const uint64_t length = shm_layout::get_u64(header_, shm_layout::slot_length_at[slot]);
    out->slot = slot;
    out->length = length;
    out->data.clear();
    if (length == 0) {
        return true;
    }
    // The header comes from another process: a bad offset or length only makes the view fail.
    void* view = MapViewOfFile(mapping_, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                               static_cast<DWORD>(offset), static_cast<SIZE_T>(length));
    if (view == nullptr) {
        return false;
    }
    out->data.assign(static_cast<const char*>(view), static_cast<const char*>(view) + length);
    UnmapViewOfFile(view);
    return true;
}

shared_memory_reader::result shared_memory_reader::read(shared_memory_snapshot* out) {
    if (header_ == nullptr) {
        return result::failed;
    }
    if (shm_layout::get_u64(header_, shm_layout::slot_length_at[0]) == 0 &&
        shm_layout::get_u64(header_, shm_layout::slot_length_at[1]) == 0) {
        peek(out);
        out->slot = -1;
        out->length = 0;
        out->data.clear();
        return result::empty;
    }
    // The newest data is in the slot that the writer will not try first.
    const int newest = shm_layout::get_u32(header_, shm_layout::next_slot_at) == 1 ? 0 : 1;
    for (int slot : {newest, 1 - newest}) {
        if (shm_layout::get_u64(header_, shm_layout::slot_length_at[slot]) == 0) {
            continue;  // never written
        }
        const DWORD taken = WaitForSingleObject(mutexes_[slot], 0);
        if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
            continue;
        }
        const bool copied = copy_slot(slot, out);
        ReleaseMutex(mutexes_[slot]);
        return copied ? result::ok : result::failed;
    }
    return result::busy;
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
    if (mapping_ != nullptr) {
        CloseHandle(mapping_);
        mapping_ = nullptr;
    }
}
