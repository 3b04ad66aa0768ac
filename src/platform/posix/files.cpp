// The file, directory and time services of the logger.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/posix/text_util.h"

using namespace tovi_posix;

namespace {

// The parent of a POSIX path, or empty.
std::string parent_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

DWORD missing_path_error(const std::string& path) {
    const std::string parent = parent_of(path);
    struct stat info;
    if (!parent.empty() && stat(parent.c_str(), &info) != 0) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_FILE_NOT_FOUND;
}

int create_directories(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return 161;  // ERROR_BAD_PATHNAME: Windows wants a full path here too
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        return S_ISDIR(info.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    }
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') {
            continue;
        }
        const std::string prefix = path.substr(0, at);
        if (prefix.back() == '/') {
            continue;
        }
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            const DWORD error = win32_error_from_errno(errno);
            SetLastError(error);
            return static_cast<int>(error);
        }
    }
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD GetFileAttributesW(LPCWSTR path) {
    const std::string native = native_path(path);
    struct stat info;
    if (stat(native.c_str(), &info) != 0) {
        SetLastError(errno == ENOENT ? missing_path_error(native) : win32_error_from_errno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL MoveFileW(LPCWSTR from, LPCWSTR to) {
    const std::string source = native_path(from);
    const std::string target = native_path(to);
    // Never replaces an existing target, as Windows refuses to.
    if (syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(),
                1u /* RENAME_NOREPLACE */) != 0) {
        if (errno == ENOENT) {
            struct stat info;
            SetLastError(stat(source.c_str(), &info) != 0 ? missing_path_error(source)
                                                          : ERROR_PATH_NOT_FOUND);
        } else {
            set_error_from_errno(errno);
        }
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    const std::string native = native_path(path);
    struct stat info;
    if (lstat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(native.c_str()) != 0) {
        SetLastError(errno == ENOENT ? missing_path_error(native) : win32_error_from_errno(errno));
        return FALSE;
    }
    return TRUE;
}

int SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
    return create_directories(native_path(path));
}

int SHCreateDirectoryExA(HWND, LPCSTR path, const SECURITY_ATTRIBUTES*) {
    return create_directories(native_path(path));
}

FILE* _wfopen(const wchar_t* path, const wchar_t* mode) {
    std::string native_mode;
    for (const wchar_t* m = mode; m != nullptr && *m != L'\0'; ++m) {
        switch (*m) {
            case L'N':
                native_mode += 'e';
                break;  // not inherited: close on exec
            case L't':
                break;  // text mode is binary here
            default:
                native_mode += static_cast<char>(*m);
        }
    }
    FILE* file = fopen(native_path(path).c_str(), native_mode.c_str());
    if (file == nullptr) {
        set_error_from_errno(errno);
    }
    return file;
}

void GetLocalTime(LPSYSTEMTIME out) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    out->wYear = static_cast<WORD>(local.tm_year + 1900);
    out->wMonth = static_cast<WORD>(local.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    out->wDay = static_cast<WORD>(local.tm_mday);
    out->wHour = static_cast<WORD>(local.tm_hour);
    out->wMinute = static_cast<WORD>(local.tm_min);
    out->wSecond = static_cast<WORD>(local.tm_sec);
    out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
