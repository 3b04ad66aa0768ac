// The endpoints' init_log: the log file opened at directory\file_name, with a separator line.
#include "endpoints/endpoint_log.h"

#include <string>

#include "log/log.h"
#include "log/utf8_to_utf16.h"
#include "platform/win32.h"

namespace tovi {

bool open_endpoint_log(const char* directory, const char* file_name) {
    if (directory == nullptr || file_name == nullptr) {
        return false;
    }
    SHCreateDirectoryExA(nullptr, directory, nullptr);
    const std::string path = std::string(directory) + "\\" + file_name;
    const bool opened = log_open(utf8_to_utf16(path.c_str(), -1).c_str());
    if (opened) {
        log_info(L"\r\n%s\r\n", std::wstring(89, L'-').c_str());
    }
    return opened;
}

}  // namespace tovi
