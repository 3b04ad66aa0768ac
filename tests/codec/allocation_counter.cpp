#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<size_t> bytes{0};
std::atomic<size_t> largest{0};

}  // namespace

namespace allocation_counter {

scope::scope() {
    bytes = 0;
    largest = 0;
    counting = true;
}

scope::~scope() {
    counting = false;
}

totals scope::result() const {
    return totals{bytes.load(), largest.load()};
}

}  // namespace allocation_counter

namespace {

void* allocate(size_t size) noexcept {
    if (counting.load(std::memory_order_relaxed)) {
        bytes.fetch_add(size, std::memory_order_relaxed);
        size_t seen = largest.load(std::memory_order_relaxed);
        while (size > seen && !largest.compare_exchange_weak(seen, size)) {
        }
    }
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every form is replaced: a sanitizer runtime supplies the forms a program leaves out, and
// its allocator must never free what malloc allocated here.
void* operator new(size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    return ::operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
