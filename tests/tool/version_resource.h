// The VERSIONINFO resource of a Windows binary, read back from its file as Windows reads it.
#pragma once

#include <string>

namespace tovi_test {

struct version_resource {
    std::string file_version;     // the FileVersion string
    std::string product_version;  // the ProductVersion string
    std::string product_name;
    std::string description;             // FileDescription
    unsigned fixed_file_version_ms = 0;  // major << 16 | minor of the fixed part
};

// The resource of the file at path (UTF-8); empty fields when it has none.
version_resource read_version_resource(const std::string& path);

}  // namespace tovi_test
