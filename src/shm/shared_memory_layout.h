// The layout of a shared-memory block, shared by its writer and by readers.
//
// A block named N is a named file mapping N of data_size + 64 bytes, with two slots guarded by
// the named mutexes "N_applet_shared_memory_mutex_1" (slot 0) and "..._2" (slot 1).
//
//   offset  size  field (little-endian)
//        0    20  info: the five u32 values of the last write, in the order given
//       20     4  (unused)
//       24     4  next_slot: u32, the slot the next write tries first (0 or 1); the newest
//                 data is in the other slot
//       28     4  (unused)
//       32     8  slot_offset[0]: u64, where slot 0 starts (written when slot 0 is mapped)
//       40     8  slot_offset[1]: u64, where slot 1 starts
//       48     8  slot_length[0]: u64, bytes last written to slot 0
//       56     8  slot_length[1]: u64, bytes last written to slot 1
//
// Slot 0 starts at the first multiple of the allocation granularity g not below 64; slot 1 at
// data_size - (data_size - slot 0) / 2 rounded up to a multiple of g; a slot holds at most
// min(data_size - slot 1, slot 1 - slot 0) - 1 bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace shm_layout {

constexpr size_t header_bytes = 64;
constexpr size_t info_count = 5;
constexpr size_t info_at = 0;
constexpr size_t next_slot_at = 24;
constexpr size_t slot_offset_at[2] = {32, 40};
constexpr size_t slot_length_at[2] = {48, 56};
constexpr uint32_t name_limit_utf16 = 230;  // the mutex names must fit 260 units

inline void put_u32(void* header, size_t at, uint32_t value) {
    auto* p = static_cast<unsigned char*>(header) + at;
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}
inline void put_u64(void* header, size_t at, uint64_t value) {
    put_u32(header, at, static_cast<uint32_t>(value));
    put_u32(header, at + 4, static_cast<uint32_t>(value >> 32));
}
inline uint32_t get_u32(const void* header, size_t at) {
    const auto* p = static_cast<const unsigned char*>(header) + at;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t get_u64(const void* header, size_t at) {
    return get_u32(header, at) | static_cast<uint64_t>(get_u32(header, at + 4)) << 32;
}

// Keeps the header's stores (writer) or loads (reader) on either side of it in that order, as
// another process sees them. ThreadSanitizer does not model fences and warns of them; there a
// compiler barrier stands in, which is all that x86-64 needs.
inline void header_fence(std::memory_order order) {
#if defined(__SANITIZE_THREAD__)
    std::atomic_signal_fence(order);
#else
    std::atomic_thread_fence(order);
#endif
}

// Where the slots lie for a data size and an allocation granularity.
struct slots {
    uint64_t offset[2];
    int64_t capacity;
};
inline slots slots_for(uint64_t data_size, uint64_t granularity) {
    slots out{};
    out.offset[0] = ((granularity + header_bytes - 1) / granularity) * granularity;
    const uint64_t half = (data_size - out.offset[0]) / 2;
    out.offset[1] = ((data_size - half + granularity - 1) / granularity) * granularity;
    const uint64_t second = data_size - out.offset[1];
    const uint64_t first = out.offset[1] - out.offset[0];
    out.capacity = static_cast<int64_t>(second < first ? second : first);
    return out;
}

// The name of a slot's mutex (slot 0 or 1).
inline std::wstring mutex_name(const std::wstring& block_name, int slot) {
    return block_name + L"_applet_shared_memory_mutex_" + std::to_wstring(slot + 1);
}

// Length of a wide string in UTF-16 units, whatever the width of wchar_t.
inline size_t utf16_units(const std::wstring& text) {
    size_t units = 0;
    for (wchar_t c : text) {
        const uint32_t code = static_cast<uint32_t>(c);
        units += (code >> 16) != 0 ? 2 : 1;  // only a 32-bit wchar_t holds such a character
    }
    return units;
}

}  // namespace shm_layout
