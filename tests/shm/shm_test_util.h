// Helpers of the shared-memory tests: the raw header of a block as a reader or a damaged writer
// in another program would map it.
#pragma once

#include <cstdint>
#include <string>

#include "log/utf8_to_utf16.h"
#include "platform/win32.h"
#include "shm/shared_memory_layout.h"

namespace shm_test {

inline std::wstring wide(const std::string& text) {
    return utf8_to_utf16(text.c_str(), static_cast<int32_t>(text.size()));
}

// The 64-byte header of the block name, mapped for reading, or for writing with writable.
class header_view {
  public:
    explicit header_view(const std::string& name, bool writable = false) {
        const DWORD access = writable ? FILE_MAP_WRITE : FILE_MAP_READ;
        mapping_ = OpenFileMappingW(access, FALSE, wide(name).c_str());
        view_ =
            mapping_ ? MapViewOfFile(mapping_, access, 0, 0, shm_layout::header_bytes) : nullptr;
    }
    ~header_view() {
        if (view_)
            UnmapViewOfFile(view_);
        if (mapping_)
            CloseHandle(mapping_);
    }
    header_view(const header_view&) = delete;
    header_view& operator=(const header_view&) = delete;

    bool ok() const { return view_ != nullptr; }
    void* view() const { return view_; }
    uint32_t next_slot() const { return shm_layout::get_u32(view_, shm_layout::next_slot_at); }
    uint64_t offset(int slot) const {
        return shm_layout::get_u64(view_, shm_layout::slot_offset_at[slot]);
    }
    uint64_t length(int slot) const {
        return shm_layout::get_u64(view_, shm_layout::slot_length_at[slot]);
    }
    uint32_t info(int i) const { return shm_layout::get_u32(view_, shm_layout::info_at + 4 * i); }
    std::string bytes() const {
        return std::string(static_cast<const char*>(view_), shm_layout::header_bytes);
    }

  private:
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
};

}  // namespace shm_test
