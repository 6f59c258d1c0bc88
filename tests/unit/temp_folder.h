#pragma once
// A folder of its own below the system's temporary folder, removed with everything in it.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace wattkeeper::testkit {

struct TempFolder {
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "wk-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Writes a file below the folder, creating the folders on the way.
    void write(const std::filesystem::path& relative, const std::string& content) const {
        const auto file = path / relative.relative_path();
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }
    std::string read(const std::filesystem::path& relative) const {
        std::ifstream file(path / relative.relative_path(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    std::filesystem::path path;
};

}  // namespace wattkeeper::testkit
