#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/posix_file_system.h"
#include "tests/unit/temp_folder.h"

namespace wattkeeper::testkit {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBound = 1024;

class PosixFileSystemTest : public ::testing::Test {
protected:
    TempFolder root;
    TempFolder outside;
    linux_backend::PosixFileSystem files{root.path.string()};
};

TEST_F(PosixFileSystemTest, AbsolutePathsAreMappedBelowTheRootAndOthersRefused) {
    struct Case {
        std::string root;
        std::string path;
        std::string host;
    };
    const std::string r = root.path.string();
    const Case cases[] = {
        {r, "/Users/anna/x", r + "/Users/anna/x"},     {r + "/", "/Users/anna/x", r + "/Users/anna/x"},
        {r, "//Users/./anna//x", r + "/Users/anna/x"}, {r, "/", r},
        {"", "/Users/anna/x", "/Users/anna/x"},        {"/", "/", "/"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(linux_backend::PosixFileSystem(c.root).hostPath(c.path), c.host) << c.root << " + " << c.path;

    root.write("/secret", "s");
    root.write("/Users/anna/secret", "s");
    const std::string refused[] = {
        "", "secret", "Users/anna/secret", "/Users/../secret", "/Users/anna/..", "/..", std::string("/secret\0x", 9),
    };
    for (const auto& path : refused) {
        EXPECT_FALSE(files.hostPath(path)) << path;
        EXPECT_FALSE(files.readFile(path, kBound)) << path;
        EXPECT_FALSE(files.fileExists(path)) << path;
        EXPECT_FALSE(files.removeItem(path)) << path;
    }
    EXPECT_TRUE(fs::exists(root.path / "secret"));
    EXPECT_TRUE(fs::exists(root.path / "Users/anna/secret"));
}

TEST_F(PosixFileSystemTest, OnlyRegularFilesWithinTheBoundAreReadAndNoLinkIsFollowed) {
    root.write("/Docs/exact", std::string(kBound, 'x'));
    root.write("/Docs/over", std::string(kBound + 1, 'x'));
    root.write("/Docs/empty", "");
    root.write("/Docs/real", "80");
    fs::create_directories(root.path / "Docs/folder");
    outside.write("target", "outside");
    fs::create_symlink(root.path / "Docs/real", root.path / "Docs/link-inside");
    fs::create_symlink(outside.path / "target", root.path / "Docs/link-outside");
    fs::create_symlink(root.path / "Docs/missing", root.path / "Docs/dangling");
    fs::create_directory_symlink(root.path / "Docs", root.path / "linked-folder");

    struct Case {
        std::string path;
        std::optional<Bytes> content;
        bool exists;
    };
    const Case cases[] = {
        {"/Docs/exact", Bytes(kBound, 'x'), true},
        {"/Docs/empty", Bytes{}, true},
        {"/Docs/real", Bytes{'8', '0'}, true},
        {"/Docs/over", std::nullopt, true},
        {"/Docs/folder", std::nullopt, true},
        {"/Docs/missing", std::nullopt, false},
        {"/Docs/link-inside", std::nullopt, true},
        {"/Docs/link-outside", std::nullopt, true},
        {"/Docs/dangling", std::nullopt, true},
        // A link on the way is not followed either: the file is not reachable that way.
        {"/linked-folder/real", std::nullopt, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(files.readFile(c.path, kBound), c.content) << c.path;
        EXPECT_EQ(files.fileExists(c.path), c.exists) << c.path;
    }
    // A file holding more than its size said (the file grew; the kernel's own files say 0) is
    // read to its end, and still only within the bound.
    linux_backend::PosixFileSystem host("/");
    const std::string path = "/proc/" + std::to_string(::getpid()) + "/status";
    const auto status = host.readFile(path, std::size_t{1} << 20);
    ASSERT_TRUE(status);
    EXPECT_NE(std::string(status->begin(), status->end()).find("VmRSS"), std::string::npos);
    EXPECT_FALSE(host.readFile(path, 100));
}

TEST_F(PosixFileSystemTest, RemovingTakesAFolderWithEverythingBelowItAndLinksAsLinks) {
    root.write("/Users/anna/Docs/sub/deeper/c", "3");
    fs::create_directories(root.path / "Users/anna/Docs/sub/empty");
    root.write("/Users/anna/keep", "4");
    outside.write("precious/file", "keep");
    fs::create_directory_symlink(outside.path / "precious", root.path / "Users/anna/Docs/folder-link");
    fs::create_symlink(outside.path / "precious/file", root.path / "Users/anna/Docs/sub/file-link");
    fs::create_directory_symlink(outside.path / "precious", root.path / "Users/anna/link");

    EXPECT_TRUE(files.removeItem("/Users/anna/Docs"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root.path / "Users/anna/Docs")));
    EXPECT_TRUE(files.removeItem("/Users/anna/link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root.path / "Users/anna/link")));
    EXPECT_EQ(outside.read("precious/file"), "keep");
    EXPECT_TRUE(files.removeItem("/Users/anna/keep"));
    EXPECT_FALSE(files.removeItem("/Users/anna/keep"));
    EXPECT_FALSE(files.removeItem("/"));
    EXPECT_TRUE(fs::exists(root.path / "Users/anna"));
}

}  // namespace
}  // namespace wattkeeper::testkit
