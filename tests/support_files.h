// Temporary folders and files for tests that work on real files.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "tests/temp_dir.h"

namespace testing_support {

namespace fs = std::filesystem;

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
