#include "version_resource.h"

#include <windows.h>

#include <vector>

namespace tovi_test {

namespace {

std::wstring wide(const std::string& text) {
    std::wstring out(text.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      &out[0], static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// A string of the US English, Unicode block that the resources are written in.
std::string string_value(const std::vector<char>& block, const wchar_t* name) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || length == 0) {
        return {};
    }
    const auto* text = static_cast<const wchar_t*>(value);
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(out.empty() ? 0 : out.size() - 1);  // the NUL
    return out;
}

}  // namespace

version_resource read_version_resource(const std::string& path) {
    version_resource resource;
    const std::wstring file = wide(path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<char> block(size);
    if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, block.data())) {
        return resource;
    }
    void* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", &fixed, &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        resource.fixed_file_version_ms = static_cast<VS_FIXEDFILEINFO*>(fixed)->dwFileVersionMS;
    }
    resource.file_version = string_value(block, L"FileVersion");
    resource.product_version = string_value(block, L"ProductVersion");
    resource.product_name = string_value(block, L"ProductName");
    resource.description = string_value(block, L"FileDescription");
    return resource;
}

}  // namespace tovi_test
