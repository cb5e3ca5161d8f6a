// A fresh temporary directory per test, removed with everything in it afterwards.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

/// Owns one new directory under the system's temporary directory.
class scratch_dir {
public:
    std::filesystem::path path;

    scratch_dir() {
        static unsigned serial = 0;
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path = std::filesystem::temp_directory_path() /
               ("tally_test_" + std::to_string(stamp) + "_" + std::to_string(++serial));
        std::filesystem::create_directories(path);
    }
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    /// The wide name of `leaf` inside the directory.
    std::wstring name(const std::string& leaf) const { return (path / leaf).wstring(); }
    /// Creates `leaf` holding `bytes`; returns its wide name.
    std::wstring file(const std::string& leaf, const std::string& bytes) const {
        std::ofstream(path / leaf, std::ios::binary) << bytes;
        return name(leaf);
    }
    /// The whole content of `leaf`.
    std::string content(const std::string& leaf) const {
        std::ifstream in(path / leaf, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
};
