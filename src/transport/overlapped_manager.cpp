#include "transport/overlapped_manager.h"

#include <list>
#include <new>

#include "log/log.h"
#include "platform/scoped_critical_section.h"

namespace win {

namespace {

void free_record(OVERLAPPED* record) {
    if (record->hEvent != nullptr) {
        CloseHandle(record->hEvent);
    }
    delete record;
}

}  // namespace

// The free records, shared by the manager and by the deleter of every record in use.
class overlapped_manager::pool {
  public:
    pool() { InitializeCriticalSection(&lock_); }
    ~pool() {
        release_all();
        DeleteCriticalSection(&lock_);
    }
    pool(const pool&) = delete;
    pool& operator=(const pool&) = delete;

    // The record at the front, or null when the pool is empty.
    OVERLAPPED* take() {
        scoped_critical_section hold(lock_);
        if (free_.empty()) {
            return nullptr;
        }
        OVERLAPPED* record = free_.front();
        free_.pop_front();
        return record;
    }

    // Called by the deleter when the last holder lets go of a record.
    void return_overlapped(OVERLAPPED* record) {
        {
            scoped_critical_section hold(lock_);
            if (!closed_) {
                free_.push_back(record);
                return;
            }
        }
        free_record(record);
    }

    void release_all() {
        std::list<OVERLAPPED*> released;
        {
            scoped_critical_section hold(lock_);
            released.swap(free_);
        }
        for (OVERLAPPED* record : released) {
            free_record(record);
        }
    }

    // From now on returned records are freed, not pooled.
    void close() {
        scoped_critical_section hold(lock_);
        closed_ = true;
    }

  private:
    // Guards free_ and closed_. Lock order: last in the transport; nothing is taken while it
    // is held.
    CRITICAL_SECTION lock_;
    std::list<OVERLAPPED*> free_;
    bool closed_ = false;
};

overlapped_manager::overlapped_manager() : pool_(std::make_shared<pool>()) {}

overlapped_manager::~overlapped_manager() {
    pool_->close();
    release_all_overlappeds();
}

std::shared_ptr<OVERLAPPED> overlapped_manager::get_overlapped() {
    OVERLAPPED* record = pool_->take();
    if (record == nullptr) {
        record = new (std::nothrow) OVERLAPPED();
        if (record == nullptr) {
            log_error(L"win::overlapped_manager::get_overlapped out of memory");
            return nullptr;
        }
        record->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (record->hEvent == nullptr) {
            const DWORD error = GetLastError();
            delete record;
            log_error(L"win::overlapped_manager::get_overlapped CreateEventW error %d", error);
            return nullptr;
        }
    }
    record->Internal = 0;
    record->InternalHigh = 0;
    record->Offset = 0;
    record->OffsetHigh = 0;
    // The previous operation left the event signalled; the next one must not look complete
    // before it has begun.
    ResetEvent(record->hEvent);
    std::shared_ptr<pool> owner = pool_;
    try {
        return std::shared_ptr<OVERLAPPED>(
            record, [owner](OVERLAPPED* returned) { owner->return_overlapped(returned); });
    } catch (const std::bad_alloc&) {
        // The deleter has already put the record back in the pool.
        log_error(L"win::overlapped_manager::get_overlapped out of memory");
        return nullptr;
    }
}

void overlapped_manager::release_all_overlappeds() {
    log_info(L"win::overlapped_manager::release_all_overlappeds");
    pool_->release_all();
}

}  // namespace win
