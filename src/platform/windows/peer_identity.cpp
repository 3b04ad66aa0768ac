// The identity of a pipe's peer: its process id from the pipe, its user from its token.
#include "platform/peer_identity.h"

#include <sddl.h>

#include <cstring>
#include <vector>

namespace {

// The SID of the process's user as a string, into out (user_size bytes). False when the
// process or its token cannot be opened.
bool read_process_user(DWORD pid, char* out, size_t out_size) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return false;
    }
    bool found = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<unsigned char> buffer(size > 0 ? size : 1);
        LPSTR text = nullptr;
        if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
            ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
            if (std::strlen(text) < out_size) {
                std::strcpy(out, text);
                found = true;
            }
            LocalFree(text);
        }
        CloseHandle(token);
    }
    CloseHandle(process);
    return found;
}

}  // namespace

bool tovi_platform::read_peer_identity(HANDLE pipe, bool peer_is_client, peer_identity* out) {
    *out = peer_identity();
    ULONG pid = 0;
    const BOOL known = peer_is_client ? GetNamedPipeClientProcessId(pipe, &pid)
                                      : GetNamedPipeServerProcessId(pipe, &pid);
    if (!known) {
        return false;
    }
    out->process_id = pid;
    read_process_user(pid, out->user, sizeof out->user);
    return true;
}
