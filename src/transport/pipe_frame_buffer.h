// The frame format of the pipe, and the buffer in which one incoming frame is assembled.
//
// Every message on a pipe, in both directions, is one frame, back to back with the next:
//
//   offset  size        field
//        0     4        magic: the ASCII bytes "TQNP"
//        4     4        length: bytes of the whole frame, header included; u32 little-endian
//        8     length-8 payload: opaque bytes
//
// A received length above max_frame_size is an error; a frame of length 8 carries an empty
// payload. The sender never produces an empty payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/byte_buffer.h"

namespace win {

constexpr uint32_t max_frame_size = 52428800;  // 50 MiB, header included
constexpr size_t frame_header_size = 8;

// The frame is assembled in place: a read lands in the room that reserve gives behind the
// bytes held, and counts once commit says so. The storage keeps its allocation from frame to
// frame; the owner gives back the room of a frame above retained_bytes once the link has gone
// quiet (give_back_room), so a stream of large frames reuses one allocation.
class pipe_frame_buffer {
  public:
    static constexpr size_t retained_bytes = 256 * 1024;

    void append(const char* data, size_t count);

    // Room for the next count bytes behind the bytes held. The pointer stays valid until the
    // next reserve with a larger count, or append. Bytes written there count after commit.
    // A header's room is a field of the buffer itself, so a read that waits for the next
    // frame never holds the storage, which give_back_room may then free.
    char* reserve(size_t count);
    void commit(size_t count);

    // True once a header is held whose magic is wrong or whose length exceeds max_frame_size.
    bool checkIfError() const;

    // True when a header is held and the frame's length equals the bytes held.
    bool is_complete() const;

    // The bytes the next read must fetch: after a complete frame the buffer is emptied and
    // the answer is 8 (the next header); 8 when empty; 0 while 1 to 7 header bytes are held;
    // otherwise the frame's length minus the bytes held, in 32 bits (negative for a length
    // below 8).
    int32_t bytes_needed();

    // The allocation held, in bytes.
    size_t capacity() const { return storage_.capacity(); }
    // Frees an allocation above retained_bytes while no frame is being assembled.
    void give_back_room();
    // Hands over the storage that holds the complete frame (header, then payload) and starts
    // empty, without an allocation.
    byte_buffer take_frame();
    // Takes room that is larger than its own for the frame being assembled, keeping the bytes
    // held so far; smaller room is left to the caller.
    void adopt_room(byte_buffer& room);

    // Copies the payload of a complete frame into out (its allocation is reused) and returns
    // true; false, with out untouched, when the frame is not complete.
    bool get_payload(std::vector<char>& out) const;

    // The payload of a complete frame where it lies; valid until the buffer changes. False
    // when the frame is not complete.
    bool payload(const char** data, size_t* size) const;

    // Writes the magic and the length of a frame of total bytes into its first 8 bytes.
    static void put_header(char* frame, uint32_t total);

    // Builds the frame for count payload bytes into out. False, with out untouched, for null
    // data or a count below 1.
    static bool build_frame(const char* data, uint32_t count, byte_buffer& out);

  private:
    uint32_t length_field() const;

    byte_buffer storage_;
    char header_[frame_header_size] = {};  // where the next header is read
    size_t size_ = 0;                      // bytes of the frame held; storage_ may be larger
};

}  // namespace win
