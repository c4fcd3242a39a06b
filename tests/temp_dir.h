// Temporary folders and whole-file reads and writes, for tests and
// benchmarks that work on real files.
#pragma once
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

} // namespace testing_support
