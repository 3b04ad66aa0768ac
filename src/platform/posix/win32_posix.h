// The Win32 subset that ToviIPC calls, declared for POSIX systems.
//
// Names, types, constant values and error codes are those of Win32, so that the library above
// is written once. Each function says what the library relies on and, where this layer cannot
// be Win32, how it differs. Functions report failure as Win32 does: a FALSE, null or
// INVALID_HANDLE_VALUE result and a code for GetLastError().
//
// Handles are pointers to reference-counted kernel objects of this layer. A handle must not be
// used after CloseHandle. Differs from Win32: Windows answers a closed or made-up handle with
// ERROR_INVALID_HANDLE; here only objects of the wrong kind are detected, anything else is
// undefined.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

// ---------------------------------------------------------------------------------------------
// Types

#define WINAPI
#define CALLBACK
#define __stdcall

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef unsigned char UCHAR;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef BOOL* LPBOOL;
typedef long HRESULT;
typedef void* HWND;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Internal carries the status of an overlapped operation (an NTSTATUS value) and InternalHigh
// its byte count, as on Windows.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

// One packet taken from a completion port.
struct OVERLAPPED_ENTRY {
    ULONG_PTR lpCompletionKey;
    LPOVERLAPPED lpOverlapped;
    ULONG_PTR Internal;
    DWORD dwNumberOfBytesTransferred;
};
typedef OVERLAPPED_ENTRY* LPOVERLAPPED_ENTRY;

// A re-entrant lock. The storage holds a recursive pthread mutex.
struct CRITICAL_SECTION {
    alignas(16) unsigned char opaque[64];
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

struct SYSTEM_INFO {
    WORD wProcessorArchitecture;
    WORD wReserved;
    DWORD dwPageSize;
    LPVOID lpMinimumApplicationAddress;
    LPVOID lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD dwNumberOfProcessors;
    DWORD dwProcessorType;
    DWORD dwAllocationGranularity;
    WORD wProcessorLevel;
    WORD wProcessorRevision;
};
typedef SYSTEM_INFO* LPSYSTEM_INFO;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

// ---------------------------------------------------------------------------------------------
// Constants

// Wait results.
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// Error codes.
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_SEM_TIMEOUT 121
#define ERROR_INVALID_NAME 123
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_BAD_PIPE 230
#define ERROR_PIPE_BUSY 231
#define ERROR_NO_DATA 232
#define ERROR_PIPE_NOT_CONNECTED 233
#define ERROR_MORE_DATA 234
#define ERROR_NOT_OWNER 288
#define ERROR_PIPE_CONNECTED 535
#define ERROR_PIPE_LISTENING 536
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_INCOMPLETE 996
#define ERROR_IO_PENDING 997
#define ERROR_NOT_FOUND 1168

// Status values kept in OVERLAPPED::Internal.
#define STATUS_SUCCESS 0x00000000u
#define STATUS_PENDING 0x00000103u
#define STATUS_PIPE_BROKEN 0xC000014Bu
#define STATUS_CANCELLED 0xC0000120u
#define STATUS_PIPE_DISCONNECTED 0xC00000B0u

// Text conversion.
#define CP_UTF8 65001u

// Files.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_FIRST_PIPE_INSTANCE 0x00080000u
#define SECURITY_SQOS_PRESENT 0x00100000u
#define SECURITY_IDENTIFICATION 0x00010000u
#define FILE_SKIP_COMPLETION_PORT_ON_SUCCESS 0x1u
#define FILE_SKIP_SET_EVENT_ON_HANDLE 0x2u

// Named pipes.
#define PIPE_ACCESS_INBOUND 0x00000001u
#define PIPE_ACCESS_OUTBOUND 0x00000002u
#define PIPE_ACCESS_DUPLEX 0x00000003u
#define PIPE_TYPE_BYTE 0x00000000u
#define PIPE_READMODE_BYTE 0x00000000u
#define PIPE_WAIT 0x00000000u
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008u
#define PIPE_UNLIMITED_INSTANCES 255u
#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000u
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu

// File mappings.
#define PAGE_READWRITE 0x04u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu
#define SYNCHRONIZE 0x00100000u
#define MUTEX_ALL_ACCESS 0x001F0001u

// ---------------------------------------------------------------------------------------------
// Handles and errors

// Relied on: closes every kind of handle of this layer; the object lives on while operations
// or waits of this layer still hold it. Closing a pipe handle completes its outstanding
// operations with ERROR_OPERATION_ABORTED before CloseHandle returns.
BOOL CloseHandle(HANDLE object);

// Relied on: the last error is per thread.
DWORD GetLastError(void);
void SetLastError(DWORD code);

// ---------------------------------------------------------------------------------------------
// Events and waits

// Relied on: manual- and auto-reset events; a name is not supported (lpName must be null).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Relied on: events, threads and named mutexes are waitable. An auto-reset event is consumed
// by the wait that returns it. A mutex is owned by the thread whose wait returns it;
// WAIT_ABANDONED when its owner ended while holding it.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

// Relied on: wait-any (bWaitAll FALSE) over events and threads; the lowest signalled index
// wins; more than MAXIMUM_WAIT_OBJECTS handles fail with WAIT_FAILED and
// ERROR_INVALID_PARAMETER. Differs from Win32: bWaitAll TRUE and mutexes in the set are not
// supported (WAIT_FAILED, ERROR_NOT_SUPPORTED).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);

void Sleep(DWORD milliseconds);

// ---------------------------------------------------------------------------------------------
// Critical sections (re-entrant, process-local)

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

// ---------------------------------------------------------------------------------------------
// Threads and processes

// Relied on: the thread runs at once; the returned handle is waitable and signalled when the
// thread function has returned. Differs from Win32: the security attributes, stack size and
// creation flags are ignored, and no thread id is returned (the out parameter is set to 0).
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID argument, DWORD flags, LPDWORD thread_id);

DWORD GetCurrentProcessId(void);
// Relied on: the kernel's thread id, unique among the live threads of the machine.
DWORD GetCurrentThreadId(void);

// ---------------------------------------------------------------------------------------------
// Text

// Relied on: CP_UTF8 only, flags 0 (others fail with ERROR_INVALID_PARAMETER); a length of -1
// includes the terminator. Invalid UTF-8 becomes U+FFFD. Differs from Win32: wchar_t is UTF-32
// here, so the counts are in code points, not UTF-16 units.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR text, int length, LPWSTR out,
                        int out_length);
// Relied on: CP_UTF8 only, flags 0; default-character arguments must be null. Lone surrogates
// become U+FFFD.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR text, int length, LPSTR out,
                        int out_length, LPCSTR default_char, LPBOOL used_default_char);

// ---------------------------------------------------------------------------------------------
// Files, directories and time
//
// Paths are UTF-16 (or UTF-8 for the A functions) as on Windows; a backslash is a separator.

DWORD GetFileAttributesW(LPCWSTR path);
// Relied on: fails with ERROR_ALREADY_EXISTS when the target exists, as Windows does.
BOOL MoveFileW(LPCWSTR from, LPCWSTR to);
BOOL DeleteFileW(LPCWSTR path);
// Relied on: creates the directory with all missing parents; returns ERROR_SUCCESS (0),
// ERROR_ALREADY_EXISTS (183) when it exists, or another error code.
int SHCreateDirectoryExW(HWND window, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes);
int SHCreateDirectoryExA(HWND window, LPCSTR path, const SECURITY_ATTRIBUTES* attributes);
// Relied on: the modes "r", "a+", "w+", each optionally followed by "N" (not inherited by
// child processes, which here means close-on-exec).
FILE* _wfopen(const wchar_t* path, const wchar_t* mode);

// Relied on: the local time with its millisecond part.
void GetLocalTime(LPSYSTEMTIME time);

// ---------------------------------------------------------------------------------------------
// Named pipes and overlapped I/O
//
// A pipe name "\\.\pipe\NAME" is a Unix domain stream socket; the README documents the name
// space. Only peers of the same user, and root, may connect.

// Relied on: the open mode PIPE_ACCESS_DUPLEX with FILE_FLAG_OVERLAPPED, optionally with
// FILE_FLAG_FIRST_PIPE_INSTANCE (fails with ERROR_ACCESS_DENIED when the name is served
// already); byte mode; up to max_instances instances in this process (ERROR_PIPE_BUSY
// beyond; PIPE_UNLIMITED_INSTANCES means no limit). Differs from Win32: instances of one name can
// only be created in one process; a name served by another process fails with ERROR_ACCESS_DENIED.
// The buffer sizes and the default time-out are ignored.
HANDLE CreateNamedPipeW(LPCWSTR name, DWORD open_mode, DWORD pipe_mode, DWORD max_instances,
                        DWORD out_buffer_size, DWORD in_buffer_size, DWORD default_timeout,
                        LPSECURITY_ATTRIBUTES attributes);
// Relied on: overlapped only. FALSE with ERROR_PIPE_CONNECTED when a client came first (the
// event is not set); FALSE with ERROR_IO_PENDING otherwise, the event being set when a client
// connects.
BOOL ConnectNamedPipe(HANDLE pipe, LPOVERLAPPED overlapped);
// Relied on: TRUE at once when an instance is free; FALSE with ERROR_FILE_NOT_FOUND at once
// for a name nobody serves; FALSE with ERROR_SEM_TIMEOUT when no instance became free in
// time. NMPWAIT_USE_DEFAULT_WAIT waits 50 ms.
BOOL WaitNamedPipeW(LPCWSTR name, DWORD timeout);
// Relied on: opens the client end of a pipe ("\\.\pipe\NAME") with OPEN_EXISTING and
// FILE_FLAG_OVERLAPPED; ERROR_FILE_NOT_FOUND when nobody serves the name, ERROR_PIPE_BUSY
// when no instance is free, ERROR_ACCESS_DENIED when the server refuses this user, or when the
// server is neither this user nor root. Differs from Win32: only pipe names can be opened;
// the security-quality-of-service flags are accepted and mean nothing (no server here can act
// as its client).
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE template_file);

// Relied on (both): overlapped only. The event is reset when the call begins. An operation
// that can finish at once finishes at once: TRUE, byte count, status and event set. Otherwise
// FALSE with ERROR_IO_PENDING, and the operation completes later: Internal and InternalHigh
// filled, then the event set. A read returns what is there, up to the size asked. Writes on
// one handle never interleave, whatever threads issue them, and complete in the order issued.
// The buffer is used until the operation completes and never after.
// A read issued when the peer has already closed fails at once with ERROR_BROKEN_PIPE, and no
// completion follows (as on Windows). Differs from Win32: a write to a closed peer fails at once
// with ERROR_NO_DATA.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED overlapped);

// Relied on: ERROR_IO_INCOMPLETE while pending without waiting; with wait, waits on the
// record's event; ERROR_BROKEN_PIPE for a read whose peer closed; ERROR_OPERATION_ABORTED for
// a cancelled or closed operation.
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
// A look at the record alone, as on Windows: true once the operation has left STATUS_PENDING.
inline BOOL HasOverlappedIoCompleted(LPOVERLAPPED overlapped) {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) != STATUS_PENDING;
}

// Relied on: cancels one outstanding operation of the handle (or all of them, for a null
// record); each completes with ERROR_OPERATION_ABORTED before CancelIoEx returns, and its
// buffer is not touched after that. FALSE with ERROR_NOT_FOUND when nothing was outstanding.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

// ---------------------------------------------------------------------------------------------
// I/O completion ports
//
// A port is a queue of completion packets. A pipe handle associated with a port queues one
// packet (its key, the OVERLAPPED, the byte count and the status) for every overlapped
// operation that completes, cancelled and closed ones included; the record's event, when it
// has one, is set as well. A thread that waits on the port finishes the pending I/O of the
// port's pipes itself: their sockets are watched by the port, not by the reactor thread.

// Relied on: (INVALID_HANDLE_VALUE, null, 0, n) creates a port; (pipe, port, key, 0)
// associates an open pipe handle, client end or server instance, with the port and returns the
// port; a handle is associated with one port at most (ERROR_INVALID_PARAMETER for a second).
// Differs from Win32: only pipe handles can be associated; the thread count is ignored.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key, DWORD threads);
// Relied on: takes up to count packets, first queued first, waiting up to milliseconds for
// the first; FALSE with WAIT_TIMEOUT (258) when none came. Differs from Win32: one thread at a
// time waits on a port; alertable waits are not supported (the flag is ignored).
BOOL GetQueuedCompletionStatusEx(HANDLE port, LPOVERLAPPED_ENTRY entries, ULONG count,
                                 PULONG removed, DWORD milliseconds, BOOL alertable);
// Relied on: queues a packet with the given values; the waiting thread wakes.
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD transferred, ULONG_PTR key,
                                LPOVERLAPPED overlapped);
// Relied on: FILE_SKIP_COMPLETION_PORT_ON_SUCCESS on an associated pipe handle: an operation
// that finishes at once (TRUE) queues no packet. FILE_SKIP_SET_EVENT_ON_HANDLE is accepted;
// there is no handle event to skip here.
BOOL SetFileCompletionNotificationModes(HANDLE file, UCHAR flags);

// ---------------------------------------------------------------------------------------------
// Shared memory and named mutexes
//
// Named objects live in a per-machine name space (the README documents it), are created
// owner-only (mode 0600), and disappear when the last handle to them in any process closes.

// Relied on: pagefile-backed (INVALID_HANDLE_VALUE) and named, PAGE_READWRITE; zero-filled
// when new; an existing mapping is opened as it is, keeps its size and sets
// ERROR_ALREADY_EXISTS.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD size_high, DWORD size_low, LPCWSTR name);
HANDLE OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name);
// Relied on: views at offsets that are multiples of the allocation granularity; a size of 0
// maps to the end of the mapping.
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low,
                     SIZE_T size);
BOOL UnmapViewOfFile(LPCVOID address);
// Relied on: dwAllocationGranularity is 65,536, as on Windows.
void GetSystemInfo(LPSYSTEM_INFO info);

// Relied on: named, re-entrant for the owning thread; ERROR_ALREADY_EXISTS when it existed.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCWSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
// Relied on: FALSE with ERROR_NOT_OWNER when the calling thread does not own the mutex.
BOOL ReleaseMutex(HANDLE mutex);
