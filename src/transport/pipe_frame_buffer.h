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

namespace tovi {

constexpr uint32_t max_frame_size = 52428800;  // 50 MiB, header included
constexpr size_t frame_header_size = 8;

// Incoming frames are assembled in place and taken off the front in order. A read lands in
// the room behind the bytes held (read_room, commit). Small frames are read read_ahead_bytes at
// a time, so one read brings every small frame that has arrived; a frame larger than
// that is read exactly to its end, alone in storage of its own size, which the receiver may
// take over (take_frame). No read ever reaches past the end of a large frame. The large
// storage is kept from frame to frame, so a stream of large frames reuses one allocation; no
// read lands in it between large frames, so the owner may give it back once the link has gone
// quiet (give_back_room), also while a read is outstanding.
class pipe_frame_buffer {
  public:
    static constexpr size_t read_ahead_bytes = 64 * 1024;
    static constexpr size_t retained_bytes = 256 * 1024;

    // Room for the next read and its size (at least 1); valid until the buffer changes.
    char* read_room(size_t* count);
    // count bytes have landed at the start of the room.
    void commit(size_t count);

    enum class next {
        frame,         // a whole frame: its payload
        more,          // the next frame is not whole yet
        bad_header,    // a wrong magic, or a length above max_frame_size
        short_length,  // a length below the header's: *short_by is the length minus 8
    };
    // Takes the next whole frame off the front; its payload stays valid until the next
    // read_room, take_frame or give_back_room. A broken header is reported each time.
    next next_frame(const char** payload, size_t* size, int32_t* short_by = nullptr);
    // Right after next_frame gave a frame, before anything else: puts it back in front, so
    // that the next next_frame gives it again.
    void put_back();

    // The allocations held, in bytes.
    size_t capacity() const { return small_.capacity() + large_.capacity(); }
    // Frees the large storage when it holds no frame and is above retained_bytes.
    void give_back_room();
    // Right after next_frame gave a frame above read_ahead_bytes: hands its storage over
    // (header, then payload) and starts empty, without an allocation. Otherwise an empty
    // buffer, and nothing changes.
    byte_buffer take_frame();
    // Keeps room larger than the large storage's for the next large frame (before read_room);
    // smaller room is left to the caller.
    void adopt_room(byte_buffer& room);
    // True when the next read_room is the rest of a frame above read_ahead_bytes.
    bool reads_large_frame() const;

    // Writes the magic and the length of a frame of total bytes into its first 8 bytes.
    static void put_header(char* frame, uint32_t total);

    // Builds the frame for count payload bytes into out. False, with out untouched, for null
    // data or a count below 1.
    static bool build_frame(const char* data, uint32_t count, byte_buffer& out);

  private:
    byte_buffer& current() { return in_large_ ? large_ : small_; }
    const byte_buffer& current() const { return in_large_ ? large_ : small_; }
    size_t held() const { return end_ - begin_; }
    uint32_t length_at(size_t offset) const;
    // Moves the bytes held to the front of their storage.
    void compact();

    byte_buffer small_;        // where small frames are read
    byte_buffer large_;        // where a large frame is read
    bool in_large_ = false;    // the bytes held are in large_
    size_t begin_ = 0;         // the first byte not yet taken
    size_t end_ = 0;           // the end of the bytes held
    bool took_large_ = false;  // the frame next_frame gave last filled large_ alone
    size_t given_begin_ = 0;   // where the frame next_frame gave last began, for put_back
    size_t given_end_ = 0;     // and the end of the bytes held then
    bool given_in_large_ = false;
    size_t large_taken_bytes_ = 0;  // and its length
};

}  // namespace tovi
