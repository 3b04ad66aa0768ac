// The exported functions of the reader library (include/toviipc_shm.h): the shared-memory
// reader unit behind a C interface. No exception leaves them.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <new>

#include "shm/shared_memory_reader.h"
#include "toviipc_shm.h"

struct toviipc_shm_reader {
    shared_memory_reader unit;
};

namespace {

constexpr uint64_t max_u32 = 0xFFFFFFFFu;

toviipc_shm_result public_result(shared_memory_reader::result result) {
    switch (result) {
        case shared_memory_reader::result::ok:
            return TOVIIPC_SHM_OK;
        case shared_memory_reader::result::empty:
            return TOVIIPC_SHM_EMPTY;
        case shared_memory_reader::result::busy:
            return TOVIIPC_SHM_BUSY;
        case shared_memory_reader::result::too_small:
            return TOVIIPC_SHM_TOO_SMALL;
        case shared_memory_reader::result::no_block:
            return TOVIIPC_SHM_NO_BLOCK;
        case shared_memory_reader::result::bad_name:
            return TOVIIPC_SHM_BAD_ARGUMENT;
        case shared_memory_reader::result::refused:
            return TOVIIPC_SHM_REFUSED;
        case shared_memory_reader::result::failed:
            break;
    }
    return TOVIIPC_SHM_FAILED;
}

// Lengths above 32 bits cannot come from a writer (a slot holds less than 16 MiB); a damaged
// header's are shown as the largest value.
tovi_uint32 clamped(uint64_t value) {
    return static_cast<tovi_uint32>(value > max_u32 ? max_u32 : value);
}

void to_public(const shared_memory_header& header, toviipc_shm_header* out) {
    std::copy(std::begin(header.info), std::end(header.info), out->info);
    out->next_slot = header.next_slot;
    out->slot_length[0] = clamped(header.slot_length[0]);
    out->slot_length[1] = clamped(header.slot_length[1]);
}

shared_memory_header from_public(const toviipc_shm_header& header) {
    shared_memory_header out;
    std::copy(std::begin(header.info), std::end(header.info), out.info);
    out.next_slot = header.next_slot;
    out.slot_length[0] = header.slot_length[0];
    out.slot_length[1] = header.slot_length[1];
    return out;
}

}  // namespace

extern "C" {

TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_open(const char* name,
                                                                 toviipc_shm_reader** reader) {
    if (reader == nullptr) {
        return TOVIIPC_SHM_BAD_ARGUMENT;
    }
    *reader = nullptr;
    if (name == nullptr) {
        return TOVIIPC_SHM_BAD_ARGUMENT;
    }
    try {
        auto* made = new toviipc_shm_reader;
        const shared_memory_reader::result opened = made->unit.open(name);
        if (opened != shared_memory_reader::result::ok) {
            delete made;
            return public_result(opened);
        }
        *reader = made;
        return TOVIIPC_SHM_OK;
    } catch (const std::bad_alloc&) {
        return TOVIIPC_SHM_FAILED;
    }
}

TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_read(toviipc_shm_reader* reader,
                                                                 char* buffer, tovi_uint32 capacity,
                                                                 toviipc_shm_data* data) {
    if (reader == nullptr || data == nullptr || (buffer == nullptr && capacity != 0)) {
        return TOVIIPC_SHM_BAD_ARGUMENT;
    }
    shared_memory_write write;
    const shared_memory_reader::result result = reader->unit.read(buffer, capacity, &write);
    std::copy(std::begin(write.info), std::end(write.info), data->info);
    data->slot = write.slot < 0 ? 0 : static_cast<tovi_uint32>(write.slot);
    data->length = clamped(write.length);
    if (write.length > max_u32) {
        return TOVIIPC_SHM_FAILED;
    }
    return public_result(result);
}

TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_peek(toviipc_shm_reader* reader,
                                                                 toviipc_shm_header* header) {
    shared_memory_header now;
    if (reader == nullptr || header == nullptr) {
        return TOVIIPC_SHM_BAD_ARGUMENT;
    }
    if (!reader->unit.peek(&now)) {
        return TOVIIPC_SHM_FAILED;
    }
    to_public(now, header);
    return TOVIIPC_SHM_OK;
}

TOVIIPC_SHM_API toviipc_shm_result TOVIIPC_CALL toviipc_shm_wait(toviipc_shm_reader* reader,
                                                                 const toviipc_shm_header* seen,
                                                                 tovi_uint32 timeout_ms,
                                                                 toviipc_shm_header* now) {
    if (reader == nullptr || seen == nullptr || now == nullptr) {
        return TOVIIPC_SHM_BAD_ARGUMENT;
    }
    shared_memory_header current;
    const bool changed = reader->unit.wait_for_change(from_public(*seen), timeout_ms, &current);
    to_public(current, now);
    return changed ? TOVIIPC_SHM_OK : TOVIIPC_SHM_TIMEOUT;
}

TOVIIPC_SHM_API void TOVIIPC_CALL toviipc_shm_close(toviipc_shm_reader* reader) {
    delete reader;
}

TOVIIPC_SHM_API const char* TOVIIPC_CALL toviipc_shm_result_text(toviipc_shm_result result) {
    switch (result) {
        case TOVIIPC_SHM_OK:
            return "ok";
        case TOVIIPC_SHM_EMPTY:
            return "nothing was written into the block yet";
        case TOVIIPC_SHM_BUSY:
            return "the newest write is being read or replaced; try again";
        case TOVIIPC_SHM_TOO_SMALL:
            return "the buffer is smaller than the newest write";
        case TOVIIPC_SHM_TIMEOUT:
            return "no change within the time given";
        case TOVIIPC_SHM_NO_BLOCK:
            return "no block of that name (is a client connected on that pipe name?)";
        case TOVIIPC_SHM_BAD_ARGUMENT:
            return "a null pointer, an empty name, or a name longer than 230 UTF-16 units";
        case TOVIIPC_SHM_FAILED:
            return "the block cannot be opened or read";
        case TOVIIPC_SHM_REFUSED:
            return "refused: the block is not this user's own (another user owns it or may "
                   "change it)";
    }
    return "unknown result";
}

}  // extern "C"
