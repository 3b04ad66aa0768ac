// Named, pagefile-backed file mappings and their views.
#include <errno.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <new>

#include "platform/posix/kernel_object.h"
#include "platform/posix/named_objects.h"
#include "platform/posix/text_util.h"

namespace tovi_posix {
namespace {

constexpr DWORD allocation_granularity = 65536;
constexpr DWORD error_invalid_address = 487;
constexpr DWORD error_mapped_alignment = 1132;

class file_mapping final : public kernel_object {
  public:
    file_mapping(std::string path, int fd, uint64_t size)
        : kernel_object(object_kind::mapping), path_(std::move(path)), fd_(fd), size_(size) {}

    int fd() const { return fd_; }
    uint64_t size() const { return size_; }

  private:
    ~file_mapping() override { close_named_file(path_, fd_); }

    const std::string path_;
    const int fd_;
    const uint64_t size_;
};

// Every mapped view, so that UnmapViewOfFile knows its length. A view keeps its mapping alive.
struct view {
    size_t length;
    object_ref<file_mapping> mapping;
};
std::mutex& views_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<const void*, view>& views() {
    static auto* all = new std::map<const void*, view>;
    return *all;
}

HANDLE open_mapping(LPCWSTR name, bool create, uint64_t size) {
    std::string path;
    if (!named_object_path(named_kind::mapping, name, &path)) {
        return nullptr;
    }
    named_file file;
    if (!open_named_file(path, create, static_cast<size_t>(size), nullptr, &file)) {
        return nullptr;
    }
    struct stat info;
    if (fstat(file.fd, &info) != 0) {
        set_error_from_errno(errno);
        close_named_file(path, file.fd);
        return nullptr;
    }
    auto* mapping =
        new (std::nothrow) file_mapping(path, file.fd, static_cast<uint64_t>(info.st_size));
    if (mapping == nullptr) {
        close_named_file(path, file.fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(file.created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return to_handle(mapping);
}

}  // namespace
}  // namespace tovi_posix

using namespace tovi_posix;

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD size_high,
                          DWORD size_low, LPCWSTR name) {
    const uint64_t size = (static_cast<uint64_t>(size_high) << 32) | size_low;
    if (file != INVALID_HANDLE_VALUE || protect != PAGE_READWRITE || name == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return open_mapping(name, true, size);
}

HANDLE OpenFileMappingW(DWORD, BOOL, LPCWSTR name) {
    return open_mapping(name, false, 0);
}

LPVOID MapViewOfFile(HANDLE handle, DWORD access, DWORD offset_high, DWORD offset_low,
                     SIZE_T size) {
    auto* mapping = object_of<file_mapping>(handle, object_kind::mapping);
    if (mapping == nullptr) {
        return nullptr;
    }
    const uint64_t offset = (static_cast<uint64_t>(offset_high) << 32) | offset_low;
    if (offset % allocation_granularity != 0) {
        SetLastError(error_mapped_alignment);
        return nullptr;
    }
    if (offset >= mapping->size() || (size != 0 && size > mapping->size() - offset)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const size_t length = size != 0 ? size : static_cast<size_t>(mapping->size() - offset);
    int protection = 0;
    if (access & (FILE_MAP_READ | FILE_MAP_WRITE))
        protection |= PROT_READ;
    if (access & FILE_MAP_WRITE)
        protection |= PROT_WRITE;
    void* address =
        mmap(nullptr, length, protection, MAP_SHARED, mapping->fd(), static_cast<off_t>(offset));
    if (address == MAP_FAILED) {
        set_error_from_errno(errno);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(views_lock());
    views()[address] = view{length, object_ref<file_mapping>::share(mapping)};
    return address;
}

BOOL UnmapViewOfFile(LPCVOID address) {
    object_ref<file_mapping> mapping;  // released after the lock
    std::lock_guard<std::mutex> lock(views_lock());
    auto found = views().find(address);
    if (found == views().end()) {
        SetLastError(error_invalid_address);
        return FALSE;
    }
    munmap(const_cast<void*>(address), found->second.length);
    mapping = std::move(found->second.mapping);
    views().erase(found);
    return TRUE;
}

void GetSystemInfo(LPSYSTEM_INFO info) {
    *info = SYSTEM_INFO{};
    info->wProcessorArchitecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    info->dwNumberOfProcessors = static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN));
    info->dwAllocationGranularity = allocation_granularity;
}
