#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "support/process_info.h"

namespace tovi_test {

bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return predicate();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string unique_name(const std::string& prefix) {
    static std::atomic<int> counter{0};
    std::ostringstream name;
    name << prefix << "_" << current_process_id();
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        name << "_" << info->name();
    }
    name << "_" << counter++;
    return name.str();
}

temp_dir::temp_dir(const std::string& prefix) {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    std::error_code error;
    do {
        path_ = (base / (prefix + "_" + std::to_string(current_process_id()) + "_" +
                         std::to_string(random())))
                    .string();
    } while (!std::filesystem::create_directory(path_, error));
}

temp_dir::~temp_dir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool file_exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

std::string pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

std::string frame(const std::string& payload, uint32_t length_field) {
    std::string out = "TQNP";
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>(length_field >> (8 * i));
    }
    return out + payload;
}

std::string frame(const std::string& payload) {
    return frame(payload, static_cast<uint32_t>(payload.size() + 8));
}

size_t count_of(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

namespace {
std::map<std::string, child_main>& child_roles() {
    static std::map<std::string, child_main> roles;
    return roles;
}
}  // namespace

child_role_registrar::child_role_registrar(const char* role, child_main main) {
    child_roles()[role] = main;
}

}  // namespace tovi_test

// Runs a child role when asked to (--child=ROLE further arguments...), the tests otherwise.
int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]).rfind("--child=", 0) == 0) {
        const std::string role = std::string(argv[1]).substr(8);
        auto found = tovi_test::child_roles().find(role);
        if (found == tovi_test::child_roles().end()) {
            std::fprintf(stderr, "unknown child role %s\n", role.c_str());
            return 99;
        }
        std::vector<std::string> arguments(argv + 2, argv + argc);
        const int code = found->second(arguments);
        std::fflush(stdout);
        return code;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
