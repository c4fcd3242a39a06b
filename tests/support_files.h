// Temporary folders and files for tests that work on real files.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its
// contents at the end.
class TempDir {
public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "norvane-test-XXXXXX").string();
        if (!::mkdtemp(t.data())) std::abort();
        path_ = t;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A test with one file in a temporary folder: Put writes it, Get reads it.
class FileFixture : public ::testing::Test {
protected:
    explicit FileFixture(const char* fileName) : dir_(tmp_.path()), path_(tmp_.file(fileName)) {}
    void Put(const std::string& bytes) { WriteBytes(path_, bytes); }
    std::string Get() const { return ReadBytes(path_); }

    TempDir tmp_;
    fs::path dir_;
    std::string path_;
};

} // namespace testing_support
