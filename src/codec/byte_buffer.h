// byte_buffer: a growable byte array whose growth leaves the new bytes uninitialised.
//
// Frames are filled right after they grow: the payload is copied in, or a read lands there.
// A std::vector<char> would zero every new byte first, which for a megabyte costs as much as
// the copy itself.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

template <class T>
struct uninitialized_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = uninitialized_allocator<U>;
    };
    uninitialized_allocator() = default;
    template <class U>
    uninitialized_allocator(const uninitialized_allocator<U>&) noexcept {}

    // Default construction (what resize does) leaves the object uninitialised.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using byte_buffer = std::vector<char, uninitialized_allocator<char>>;
