// init_log of both endpoints: opens the process's one log file at directory\file_name.
#pragma once

namespace tovi {

// Creates the directory with its missing parents, opens the log at the directory, one
// backslash and the file name, and on success writes a separator line. False for a null
// argument or when the log cannot be opened.
bool open_endpoint_log(const char* directory, const char* file_name);

}  // namespace tovi
