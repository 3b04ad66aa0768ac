// POSIX only: the files of the shared-memory directory, a directory every user may write. What a
// killed client leaves there is reclaimed; what another user puts there is never used.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "../stress_util.h"
#include "log/utf8_to_utf16.h"
#include "platform/posix/named_objects.h"
#include "shm/shared_memory_layout.h"
#include "shm/shared_memory_reader.h"
#include "support/test_support.h"

using namespace std::chrono_literals;

namespace {

std::string object_path(tovi_posix::named_kind kind, const std::wstring& name) {
    std::string path;
    EXPECT_TRUE(tovi_posix::named_object_path(kind, name.c_str(), &path));
    return path;
}

std::string block_path(const std::string& name) {
    return object_path(tovi_posix::named_kind::mapping, utf8_to_utf16(name.c_str(), -1));
}

std::string mutex_path(const std::string& name, int slot) {
    return object_path(tovi_posix::named_kind::mutex,
                       shm_layout::mutex_name(utf8_to_utf16(name.c_str(), -1), slot));
}

// A file that another user made, mode 0666, and holds a shared lock on, as a live holder of
// the object would: the next opener neither removes it as stale nor may use it.
class planted_file {
  public:
    planted_file(const std::string& path, uid_t owner, size_t size) : path_(path) {
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        ok_ = fd_ >= 0 && fchown(fd_, owner, owner) == 0 && fchmod(fd_, 0666) == 0 &&
              ftruncate(fd_, static_cast<off_t>(size)) == 0 && flock(fd_, LOCK_SH) == 0;
    }
    ~planted_file() {
        if (fd_ >= 0) {
            close(fd_);
        }
        unlink(path_.c_str());
    }
    planted_file(const planted_file&) = delete;
    planted_file& operator=(const planted_file&) = delete;

    bool ok() const { return ok_; }
    // Every byte is still 0: nothing was written into it.
    bool untouched() const {
        char bytes[4096];
        const ssize_t n = pread(fd_, bytes, sizeof(bytes), 0);
        return n > 0 && std::all_of(bytes, bytes + n, [](char c) { return c == 0; });
    }

  private:
    const std::string path_;
    int fd_ = -1;
    bool ok_ = false;
};

constexpr uid_t nobody = 65534;
constexpr size_t block_file_bytes = 31457280 + shm_layout::header_bytes;

// Connects a client on name with a log in directory, tries a write of the block and leaves.
bool write_as_client(const std::string& name, const tovi_test::temp_dir& directory) {
    e2e::client_host client;
    EXPECT_TRUE(client.f.init_log(client.handle, directory.path().c_str(), "client.log"));
    EXPECT_TRUE(e2e::connect_within(client, name, "victim"));
    shared_memory_info info = {{1, 2, 3, 4, 5}};
    const bool written = client.f.write_shared_memory(client.handle, "SECRET", 6, &info) != 0;
    EXPECT_TRUE(client.send_string("the link stays"));
    client.disconnect();
    return written;
}

// The log's text once it holds piece (lines reach the file in the background).
std::string log_with(const tovi_test::temp_dir& directory, const std::string& piece) {
    std::string text;
    tovi_test::wait_until(
        [&] {
            text = tovi_test::read_file(directory / "client.log");
            return text.find(piece) != std::string::npos;
        },
        std::chrono::seconds(30));
    return text;
}

}  // namespace

// Connects (which opens the block named after the pipe), writes it, and waits to be killed.
TOVI_CHILD_ROLE(block_holder) {
    e2e::client_host client;
    if (!e2e::connect_within(client, arguments.at(0), "holder")) {
        return 2;
    }
    shared_memory_info info = {{1, 2, 3, 4, 5}};
    if (!client.f.write_shared_memory(client.handle, "data", 4, &info)) {
        return 3;
    }
    std::this_thread::sleep_for(60s);
    return 4;
}

TEST(shared_directory,
     a_block_whose_writer_was_killed_is_removed_when_a_server_of_its_name_starts) {
    const std::string name = tovi_test::unique_name("tovi_stress");
    const std::string path = block_path(name);
    e2e::server_host server;
    ASSERT_TRUE(server.start(name));
    tovi_test::child_process holder("block_holder", {name});
    ASSERT_TRUE(server.events.wait_for("connect", 1, 30s));
    ASSERT_TRUE(tovi_test::wait_until([&] { return tovi_test::file_exists(path); }, 30s));
    holder.kill();
    EXPECT_TRUE(tovi_test::file_exists(path));  // nobody closed it
    server.stop();
    ASSERT_TRUE(server.start(name));
    EXPECT_FALSE(tovi_test::file_exists(path));
}

// A block file or a mutex file that another user made first, or a symbolic link in the block's
// place: the client's link stays, its writes of the block return false, its log names the file
// and its owner, and the file keeps its bytes; the reader refuses the block too.
TEST(shared_directory,
     a_block_or_mutex_another_user_planted_or_a_link_is_neither_used_nor_removed) {
    const tovi_test::temp_dir elsewhere("tovi_link_target");
    const std::string target = elsewhere / "own_file";  // a file of the client's user
    ASSERT_EQ(0, close(open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)));
    for (const char* planted : {"block", "mutex", "link"}) {
        SCOPED_TRACE(planted);
        const bool link = std::strcmp(planted, "link") == 0;
        if (!link && geteuid() != 0) {
            std::printf("[  SKIPPED ] a %s planted by another user: only root can plant one\n",
                        planted);
            continue;
        }
        const std::string name = tovi_test::unique_name("tovi_planted");
        const std::string path =
            std::strcmp(planted, "mutex") == 0 ? mutex_path(name, 1) : block_path(name);
        std::unique_ptr<planted_file> file;
        if (link) {
            ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
        } else {
            file = std::make_unique<planted_file>(path, nobody,
                                                  link                ? 0
                                                  : planted[0] == 'b' ? block_file_bytes
                                                                      : 64);
            ASSERT_TRUE(file->ok());
        }
        e2e::server_host server;
        ASSERT_TRUE(server.start(name));  // its sweep leaves the file alone
        shared_memory_reader reader;
        EXPECT_EQ(shared_memory_reader::result::refused, reader.open(name));
        const tovi_test::temp_dir directory("tovi_planted");
        EXPECT_FALSE(write_as_client(name, directory));
        EXPECT_TRUE(server.events.wait_for("data", 1, 30s));
        const std::string refused =
            ":error tovi::ipc_client::connect shared memory " + name + " refused: the file " + path;
        const std::string log = log_with(directory, refused);
        EXPECT_NE(std::string::npos, log.find(refused)) << log;
        EXPECT_NE(std::string::npos,
                  log.find(link ? "is a symbolic link; it belongs to user"
                                : "is not this user's own; it belongs to user nobody (uid 65534)"))
            << log;
        if (link) {
            EXPECT_EQ("", tovi_test::read_file(target));
            unlink(path.c_str());
        } else {
            EXPECT_TRUE(file->untouched());
        }
    }
}

// Root may read the block of another user, but not one that a third user may change.
TEST(shared_directory, root_reads_another_users_block_unless_others_may_write_it) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can give a block to another user";
    }
    const std::string name = tovi_test::unique_name("tovi_planted");
    std::vector<std::unique_ptr<planted_file>> files;
    files.push_back(std::make_unique<planted_file>(block_path(name), nobody, block_file_bytes));
    for (int slot = 0; slot < 2; ++slot) {
        files.push_back(std::make_unique<planted_file>(mutex_path(name, slot), nobody, 64));
    }
    for (const auto& file : files) {
        ASSERT_TRUE(file->ok());
    }
    shared_memory_reader reader;
    EXPECT_EQ(shared_memory_reader::result::refused, reader.open(name));  // mode 0666
    for (int i = 0; i < 3; ++i) {
        const std::string path = i == 0 ? block_path(name) : mutex_path(name, i - 1);
        ASSERT_EQ(0, chmod(path.c_str(), 0600));
    }
    EXPECT_EQ(shared_memory_reader::result::ok, reader.open(name));
}
