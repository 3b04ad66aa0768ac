// The files in the shared-memory directory behind named mappings and mutexes, and their names.
#include "platform/posix/named_objects.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>

#include "platform/named_object_refusal.h"
#include "platform/posix/text_util.h"

namespace tovi_posix {

namespace {

constexpr size_t longest_file_name = 200;
constexpr size_t kept_prefix = 120;

const std::string& shared_directory() {
    static const std::string directory = [] {
        struct stat info;
        if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) &&
            access("/dev/shm", W_OK) == 0) {
            return std::string("/dev/shm");
        }
        std::string fallback = "/tmp/toviipc-" + std::to_string(geteuid()) + "-shm";
        mkdir(fallback.c_str(), 0700);
        return fallback;
    }();
    return directory;
}

std::string hash_hex(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

bool has_prefix(const wchar_t* name, const wchar_t* prefix) {
    return std::wcsncmp(name, prefix, std::wcslen(prefix)) == 0;
}

}  // namespace

bool named_object_path(named_kind kind, LPCWSTR name, std::string* path) {
    if (name == nullptr || *name == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (has_prefix(name, L"Local\\")) {
        name += 6;
    } else if (has_prefix(name, L"Global\\")) {
        name += 7;
    }
    if (std::wcschr(name, L'\\') != nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::string encoded;
    for (char c : to_utf8(name)) {
        if (c == '/') {
            encoded += "%2F";
        } else if (c == '%') {
            encoded += "%25";
        } else {
            encoded += c;
        }
    }
    if (encoded.size() > longest_file_name) {
        encoded = encoded.substr(0, kept_prefix) + "#" + hash_hex(encoded);
    }
    *path = shared_directory() + (kind == named_kind::mapping ? "/toviipc.map." : "/toviipc.mtx.") +
            encoded;
    return true;
}

namespace {

// Creates the file whole under a temporary name and links it into place. Returns the
// descriptor (holding a shared lock), -1 with errno EEXIST when someone else was first, or -1
// on failure.
int create_whole(const std::string& path, size_t size, const std::function<bool(int)>& initialise) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".new." + std::to_string(getpid()) + "." + std::to_string(counter++);
    const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    const bool ready = ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                       (!initialise || initialise(fd)) && flock(fd, LOCK_SH) == 0;
    const int linked = ready ? link(temporary.c_str(), path.c_str()) : -1;
    const int error = ready ? errno : ENOMEM;
    unlink(temporary.c_str());
    if (linked != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// True when fd still is the file that path names.
bool still_linked(const std::string& path, int fd) {
    struct stat by_fd, by_path;
    return fstat(fd, &by_fd) == 0 && by_fd.st_nlink > 0 && stat(path.c_str(), &by_path) == 0 &&
           by_fd.st_ino == by_path.st_ino && by_fd.st_dev == by_path.st_dev;
}

// The handles of this process that have a file open share its descriptor, and so its one
// lock: the kernel walks every lock of a file to take another, so that a lock for each handle
// made the thousandth handle of a name cost a thousand steps, and a thousand clients of one
// server a million.
struct held_file {
    int fd;
    size_t handles;
};
std::mutex& held_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<std::string, held_file>& held() {
    static auto* files = new std::map<std::string, held_file>;
    return *files;
}

// Why the calling thread's last open was refused (last_named_object_refusal).
thread_local std::string refusal;

// "user NAME (uid N)", or "uid N" for a uid without a name.
std::string owner_text(uid_t uid) {
    char storage[1024];
    passwd entry;
    passwd* found = nullptr;
    const std::string id = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, storage, sizeof(storage), &found) == 0 && found != nullptr) {
        return std::string("user ") + found->pw_name + " (" + id + ")";
    }
    return id;
}

bool refuse(const std::string& path, const struct stat& info, const char* why) {
    refusal = "the file " + path + " " + why + "; it belongs to " + owner_text(info.st_uid);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

// Another user's file, or one that another user may write, is never used: its bytes or its
// mutex would be that user's to read, hold or forge. Root may read (not create or write) the
// objects of any user, as long as no other user may write them.
bool is_own_file(const std::string& path, int fd, bool reading) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        set_error_from_errno(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        return refuse(path, info, "is not a regular file");
    }
    if (info.st_uid != geteuid() && !(reading && geteuid() == 0)) {
        return refuse(path, info, "is not this user's own");
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(path, info, "may be written by other users");
    }
    return true;
}

// An open that failed for want of access, or at a symbolic link, is refused with the owner
// of what stands at path.
bool refuse_unopened(const std::string& path, int error) {
    struct stat info;
    if ((error == ELOOP || error == EACCES || error == EPERM) && lstat(path.c_str(), &info) == 0) {
        return refuse(
            path, info,
            S_ISLNK(info.st_mode) ? "is a symbolic link" : "cannot be opened by this user");
    }
    set_error_from_errno(error);
    return false;
}

// Opens the file for the first handle of this process.
bool open_for_process(const std::string& path, bool create, size_t size,
                      const std::function<bool(int)>& initialise, named_file* out) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0 && !is_own_file(path, fd, !create)) {
            close(fd);
            return false;
        }
        if (fd < 0) {
            if (errno != ENOENT) {
                return refuse_unopened(path, errno);
            }
            if (!create) {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return false;
            }
            fd = create_whole(path, size, initialise);
            if (fd >= 0) {
                out->fd = fd;
                out->created = true;
                return true;
            }
            if (errno == EEXIST) {
                continue;  // another process was first: open theirs
            }
            set_error_from_errno(errno);
            return false;
        }
        // Nobody holding it means its processes ended without closing: start afresh.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (still_linked(path, fd)) {
                unlink(path.c_str());
            }
            close(fd);
            continue;
        }
        if (flock(fd, LOCK_SH) != 0 || !still_linked(path, fd)) {
            close(fd);  // removed by its last holder meanwhile
            continue;
        }
        out->fd = fd;
        out->created = false;
        return true;
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

}  // namespace

bool open_named_file(const std::string& path, bool create, size_t size,
                     const std::function<bool(int)>& initialise, named_file* out) {
    refusal.clear();
    std::lock_guard<std::mutex> lock(held_lock());
    const auto found = held().find(path);
    if (found != held().end()) {
        // This process holds the file, so nobody can have removed or replaced it.
        ++found->second.handles;
        out->fd = found->second.fd;
        out->created = false;
        return true;
    }
    if (!open_for_process(path, create, size, initialise, out)) {
        return false;
    }
    held()[path] = held_file{out->fd, 1};
    return true;
}

void remove_stale_named_files() {
    DIR* directory = opendir(shared_directory().c_str());
    if (directory == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "toviipc.map.", 12) != 0 &&
            std::strncmp(name, "toviipc.mtx.", 12) != 0) {
            continue;
        }
        const std::string path = shared_directory() + "/" + name;
        const char* temporary = std::strstr(name, ".new.");
        if (temporary != nullptr) {
            // A file being made: only its maker, once it has died, leaves it behind.
            const long maker = std::strtol(temporary + 5, nullptr, 10);
            if (maker > 0 && kill(static_cast<pid_t>(maker), 0) != 0 && errno == ESRCH) {
                unlink(path.c_str());
            }
            continue;
        }
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            continue;  // gone meanwhile, or another user's
        }
        if (!is_own_file(path, fd, false)) {
            close(fd);  // another user's: left alone
            continue;
        }
        // As for an opener: nobody holding it means its processes ended without closing.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && still_linked(path, fd)) {
            unlink(path.c_str());
        }
        close(fd);
    }
    closedir(directory);
    refusal.clear();  // the files passed over refused no open of the caller's
}

void close_named_file(const std::string& path, int fd) {
    if (fd < 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(held_lock());
    const auto found = held().find(path);
    if (found != held().end() && found->second.fd == fd) {
        if (--found->second.handles > 0) {
            return;  // another handle of this process still uses it
        }
        held().erase(found);
    }
    // Only the last holder anywhere gets the exclusive lock; while it holds it, nobody can
    // remove or replace the file, so path still names this file.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        unlink(path.c_str());
    }
    close(fd);
}

}  // namespace tovi_posix

std::string tovi_platform::last_named_object_refusal() {
    return tovi_posix::refusal;
}
