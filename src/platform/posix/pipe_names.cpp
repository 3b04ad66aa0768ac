// Where a pipe name's socket lives, and the one-byte handshake that opens a pipe.
#include "platform/posix/pipe_names.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwctype>

#include "platform/posix/text_util.h"

namespace tovi_posix {

namespace {

constexpr char name_space[] = "toviipc/pipe/";
constexpr size_t kept_prefix = 60;

std::string fnv1a_hex(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

}  // namespace

bool pipe_key_of(LPCWSTR path, std::string* key) {
    static const wchar_t prefix[] = L"\\\\.\\pipe\\";
    const size_t prefix_length = sizeof(prefix) / sizeof(prefix[0]) - 1;
    if (path == nullptr || std::wcslen(path) <= prefix_length) {
        return false;
    }
    for (size_t i = 0; i < prefix_length; ++i) {
        if (static_cast<wchar_t>(std::towlower(path[i])) != prefix[i]) {
            return false;
        }
    }
    *key = to_utf8(path + prefix_length);
    for (char& c : *key) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return !key->empty();
}

pipe_address address_of(const std::string& key) {
    pipe_address out{};
    out.address.sun_family = AF_UNIX;
    std::string text = name_space + key;
#if defined(__linux__)
    const size_t room = sizeof(out.address.sun_path) - 1;  // the leading NUL of the abstract name
    if (text.size() > room) {
        text = name_space + key.substr(0, kept_prefix) + "#" + fnv1a_hex(key);
    }
    out.address.sun_path[0] = '\0';
    std::memcpy(out.address.sun_path + 1, text.data(), text.size());
    out.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
#else
    const std::string directory = "/tmp/toviipc-" + std::to_string(geteuid());
    mkdir(directory.c_str(), 0700);
    std::string file = key;
    for (char& c : file) {
        if (c == '/') {
            c = '%';
        }
    }
    text = directory + "/" + file;
    if (text.size() >= sizeof(out.address.sun_path)) {
        text = directory + "/" + file.substr(0, kept_prefix) + "#" + fnv1a_hex(key);
    }
    std::memcpy(out.address.sun_path, text.c_str(), text.size() + 1);
    out.length = static_cast<socklen_t>(sizeof(out.address));
#endif
    return out;
}

bool peer_is_trusted(int fd) {
#if defined(SO_PEERCRED)
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
        return false;
    }
    return credentials.uid == geteuid() || credentials.uid == 0;
#else
    uid_t uid;
    gid_t gid;
    if (getpeereid(fd, &uid, &gid) != 0) {
        return false;
    }
    return uid == geteuid() || uid == 0;
#endif
}

int new_stream_socket() {
    return socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

}  // namespace tovi_posix
