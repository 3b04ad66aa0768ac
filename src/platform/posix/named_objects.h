// Named kernel objects that several processes share: file mappings and mutexes.
//
// A named object is a file in the shared-memory directory (/dev/shm, or /tmp/toviipc-UID-shm
// where there is none), mode 0600, called "toviipc.map." or "toviipc.mtx." followed by the
// object's name in UTF-8, with "/" written "%2F" and "%" written "%25"; a name too long for a
// file name keeps its first 120 bytes followed by "#" and the 16 hexadecimal digits of its
// 64-bit FNV-1a hash. A "Local\" or "Global\" prefix is dropped; any other backslash fails
// with ERROR_PATH_NOT_FOUND, as on Windows.
//
// Life: every process with a handle of the object holds a shared flock on the file (its
// handles share one descriptor). A file appears whole (created under a temporary name, sized
// and initialised, then linked into place), and the handle that closes last (its process
// alone then gets the exclusive lock) removes it, so the object disappears when its last
// handle closes. A file that nobody holds (its processes died) is
// stale: the next opener removes it and starts afresh.
//
// Trust: the directory is open to every user, so a file found there is used only when it is a
// regular file (not a symbolic link) that this process's user owns and that no other user may
// write; root may also read (open without create) the objects of other users. Anything else
// fails with ERROR_ACCESS_DENIED and is described by last_named_object_refusal
// (platform/named_object_refusal.h); it is neither used nor removed.
#pragma once

#include <functional>
#include <string>

#include "platform/posix/win32_posix.h"

namespace tovi_posix {

enum class named_kind { mapping, mutex };

// The file of a name; false with the last error set when the name is not valid.
bool named_object_path(named_kind kind, LPCWSTR name, std::string* path);

struct named_file {
    int fd = -1;
    bool created = false;
};

// Opens the object's file, creating it when create is true and it does not exist: size bytes
// of zeros, then initialise(fd) before it becomes visible (may be null). Returns false with
// the last error set (ERROR_FILE_NOT_FOUND when it does not exist and create is false,
// ERROR_ACCESS_DENIED for a file refused as not this user's own).
bool open_named_file(const std::string& path, bool create, size_t size,
                     const std::function<bool(int)>& initialise, named_file* out);

// Removes the files of every object that nobody holds any more (its processes died without
// closing it), which would otherwise stay until the next opener of the same name. On Windows
// the system frees such objects when their last process ends; this brings the POSIX build
// close to that. Files of other users are left alone.
void remove_stale_named_files();

// Closes a handle's file, removing it when this was the last handle anywhere.
void close_named_file(const std::string& path, int fd);

}  // namespace tovi_posix
