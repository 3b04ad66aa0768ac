// Why an open of a named mapping or mutex was refused although the name exists.
//
// Such an object is used only when it is this user's own: on Windows the object's security
// descriptor decides, and an open of another user's object fails with ERROR_ACCESS_DENIED. The
// POSIX layer keeps the objects as files in a directory every user may write, and refuses, with
// ERROR_ACCESS_DENIED, a file that another user owns or may write, a symbolic link, or anything
// but a regular file; it then says here which file that was and whose.
#pragma once

#include <string>

namespace tovi_platform {

// After a CreateFileMappingW, OpenFileMappingW, CreateMutexW or OpenMutexW of the calling
// thread that failed: a sentence in UTF-8 that names the file refused and its owner ("the file
// /dev/shm/toviipc.map.lab is not this user's own; it belongs to user b (uid 1001)"). Empty
// when that call refused nothing (it succeeded, or failed for another reason), and always on
// Windows.
#if defined(_WIN32)
inline std::string last_named_object_refusal() {
    return std::string();
}
#else
std::string last_named_object_refusal();
#endif

}  // namespace tovi_platform
