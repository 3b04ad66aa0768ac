// UTF-8 forms of wide strings and paths for the system's calls, and errno as Win32 errors.
#include "platform/posix/text_util.h"

#include <cerrno>
#include <cwchar>

namespace tovi_posix {

std::string to_utf8(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') {
        return std::string();
    }
    const int length = static_cast<int>(std::wcslen(text));
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], size, nullptr, nullptr);
    return out;
}

std::string native_path(const char* path) {
    std::string out = path != nullptr ? path : "";
    for (char& c : out) {
        if (c == '\\') {
            c = '/';
        }
    }
    return out;
}

std::string native_path(const wchar_t* path) {
    return native_path(to_utf8(path).c_str());
}

DWORD win32_error_from_errno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EPIPE:
        case ECONNRESET:
            return ERROR_NO_DATA;
        case ECONNREFUSED:
            return ERROR_FILE_NOT_FOUND;
        case EAGAIN:
            return ERROR_PIPE_BUSY;
        case ECANCELED:
            return ERROR_OPERATION_ABORTED;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_ACCESS_DENIED;
    }
}

void set_error_from_errno(int error) {
    SetLastError(win32_error_from_errno(error));
}

}  // namespace tovi_posix
