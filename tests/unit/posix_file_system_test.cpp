#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/plist_codec.h"
#include "platform/linux/posix_file_system.h"

namespace wattkeeper::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBound = 1024;

fs::path makeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "wk-posix-fs-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

class PosixFileSystemTest : public ::testing::Test {
protected:
    ~PosixFileSystemTest() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
        fs::remove_all(outside, ignored);
    }

    // Writes a file below the root, creating its folders.
    void write(const std::string& path, const std::string& content) const {
        const fs::path host = root / path.substr(1);
        fs::create_directories(host.parent_path());
        std::ofstream(host, std::ios::binary) << content;
    }
    Bytes bytes(const std::string& content) const { return Bytes(content.begin(), content.end()); }

    fs::path root = makeTempFolder();
    fs::path outside = makeTempFolder();
    PosixFileSystem files{root.string()};
};

TEST_F(PosixFileSystemTest, AbsolutePathsAreMappedBelowTheRoot) {
    write("/Users/anna/limit", "80");
    struct Case {
        std::string root;
        std::string path;
        std::string host;
    };
    const std::string r = root.string();
    const Case cases[] = {
        {r, "/Users/anna/x", r + "/Users/anna/x"},
        {r + "/", "/Users/anna/x", r + "/Users/anna/x"},
        {r, "//Users/./anna//x", r + "/Users/anna/x"},
        {r, "/", r},
        {"", "/Users/anna/x", "/Users/anna/x"},
        {"/", "/Users/anna/x", "/Users/anna/x"},
        {"/", "/", "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PosixFileSystem(c.root).hostPath(c.path), c.host) << c.root << " + " << c.path;
    }
    EXPECT_EQ(files.readFile("/Users/anna/limit", kBound), bytes("80"));
    EXPECT_TRUE(files.fileExists("/Users/anna"));
    EXPECT_TRUE(files.fileExists("/"));
}

TEST_F(PosixFileSystemTest, RelativePathsAndParentStepsAreRefused) {
    write("/secret", "s");
    write("/Users/anna/secret", "s");
    const std::string refused[] = {
        "", "secret", "Users/anna/secret", "/Users/../secret", "/Users/anna/..", "/..", std::string("/secret\0x", 9),
    };
    for (const auto& path : refused) {
        EXPECT_FALSE(files.hostPath(path)) << path;
        EXPECT_FALSE(files.readFile(path, kBound)) << path;
        EXPECT_FALSE(files.fileExists(path)) << path;
        EXPECT_FALSE(files.removeItem(path)) << path;
    }
    EXPECT_TRUE(fs::exists(root / "secret"));
    EXPECT_TRUE(fs::exists(root / "Users/anna/secret"));
}

TEST_F(PosixFileSystemTest, OnlyRegularFilesWithinTheBoundAreRead) {
    write("/Docs/exact", std::string(kBound, 'x'));
    write("/Docs/over", std::string(kBound + 1, 'x'));
    write("/Docs/empty", "");
    write("/Docs/real", "80");
    fs::create_directories(root / "Docs/folder");
    std::ofstream(outside / "target") << "outside";
    fs::create_symlink(root / "Docs/real", root / "Docs/link-inside");
    fs::create_symlink(outside / "target", root / "Docs/link-outside");
    fs::create_symlink(root / "Docs/missing", root / "Docs/dangling");
    fs::create_directory_symlink(root / "Docs", root / "linked-folder");

    struct Case {
        std::string path;
        std::optional<Bytes> content;
        bool exists;
    };
    const Case cases[] = {
        {"/Docs/exact", Bytes(kBound, 'x'), true},
        {"/Docs/empty", Bytes{}, true},
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
}

TEST_F(PosixFileSystemTest, AFifoReadsAsNothingAtOnceWithoutAWriter) {
    fs::create_directories(root / "Docs");
    const fs::path fifo = root / "Docs/limit";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&] { return files.readFile("/Docs/limit", kBound); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Release a reader stuck in open, so the test fails instead of hanging.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
        FAIL() << "reading a FIFO blocked";
    }
    EXPECT_FALSE(read.get());
    EXPECT_TRUE(files.fileExists("/Docs/limit"));
}

TEST_F(PosixFileSystemTest, RemovingAFolderTakesEverythingBelowIt) {
    write("/Users/anna/Docs/a", "1");
    write("/Users/anna/Docs/sub/b", "2");
    write("/Users/anna/Docs/sub/deeper/c", "3");
    fs::create_directories(root / "Users/anna/Docs/sub/empty");
    write("/Users/anna/keep", "4");

    EXPECT_TRUE(files.removeItem("/Users/anna/Docs"));
    EXPECT_FALSE(fs::exists(root / "Users/anna/Docs"));
    EXPECT_TRUE(fs::exists(root / "Users/anna/keep"));
    EXPECT_TRUE(files.removeItem("/Users/anna/keep"));
    EXPECT_FALSE(fs::exists(root / "Users/anna/keep"));
    EXPECT_FALSE(files.removeItem("/Users/anna/keep"));
    EXPECT_FALSE(files.removeItem("/"));
    EXPECT_TRUE(fs::exists(root / "Users/anna"));
}

TEST_F(PosixFileSystemTest, LinksAreRemovedAsLinksAndTheirTargetsStay) {
    fs::create_directories(outside / "precious");
    std::ofstream(outside / "precious/file") << "keep";
    fs::create_directories(root / "Docs/tree");
    fs::create_directory_symlink(outside / "precious", root / "Docs/folder-link");
    fs::create_directory_symlink(outside / "precious", root / "Docs/tree/nested-link");
    fs::create_symlink(outside / "precious/file", root / "Docs/tree/file-link");

    EXPECT_TRUE(files.removeItem("/Docs/folder-link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "Docs/folder-link")));
    EXPECT_TRUE(files.removeItem("/Docs/tree"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "Docs/tree")));

    std::ifstream kept(outside / "precious/file");
    std::string content;
    kept >> content;
    EXPECT_EQ(content, "keep");
}

TEST_F(PosixFileSystemTest, PropertyListsAreDecodedWithTheCodec) {
    const auto encoded = plistToBytes(PlistDictionary{{"ChargingLimit", 80}}, PlistFormat::Binary);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(files.decodePropertyList(*encoded), PlistValue(PlistDictionary{{"ChargingLimit", 80}}));
    EXPECT_FALSE(files.decodePropertyList(bytes("not a list")));
}

}  // namespace
}  // namespace wattkeeper::testing
