// byte_buffer: a growable byte array whose growth leaves the new bytes uninitialised.
//
// Frames are filled right after they grow: the payload is copied in, or a read lands there. A
// std::vector<char> zeroes every new byte first (and one with an allocator that skips that still
// visits every byte), which for a megabyte costs as much as the copy itself. Here growing
// within the capacity only moves the size, and growing past it copies the bytes held once.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>

class byte_buffer {
  public:
    byte_buffer() = default;
    // size bytes, not initialised.
    explicit byte_buffer(size_t size) { resize(size); }
    byte_buffer(std::initializer_list<char> bytes) { append(bytes.begin(), bytes.size()); }
    byte_buffer(const byte_buffer& other) { append(other.data(), other.size()); }
    byte_buffer(byte_buffer&& other) noexcept { swap(other); }
    byte_buffer& operator=(byte_buffer other) noexcept {
        swap(other);
        return *this;
    }

    char* data() { return bytes_.get(); }
    const char* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    char* begin() { return data(); }
    char* end() { return data() + size_; }
    const char* begin() const { return data(); }
    const char* end() const { return data() + size_; }

    // The bytes beyond the old size are not initialised.
    void resize(size_t size) {
        if (size > capacity_) {
            grow(size);
        }
        size_ = size;
    }
    void reserve(size_t capacity) {
        if (capacity > capacity_) {
            grow(capacity);
        }
    }
    void clear() { size_ = 0; }
    void append(const char* bytes, size_t count) {
        const size_t at = size_;
        resize(size_ + count);
        if (count != 0) {
            std::memcpy(data() + at, bytes, count);
        }
    }
    void swap(byte_buffer& other) noexcept {
        bytes_.swap(other.bytes_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    friend bool operator==(const byte_buffer& a, const byte_buffer& b) {
        return a.size_ == b.size_ &&
               (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
    }

  private:
    // At least twice the room, so that a buffer grown byte by byte copies a linear amount.
    void grow(size_t needed) {
        const size_t capacity = needed > 2 * capacity_ ? needed : 2 * capacity_;
        std::unique_ptr<char[]> bytes(new char[capacity]);
        if (size_ != 0) {
            std::memcpy(bytes.get(), bytes_.get(), size_);
        }
        bytes_ = std::move(bytes);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> bytes_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};
