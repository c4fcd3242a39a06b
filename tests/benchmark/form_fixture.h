// Fixture for the program's windows: the Qt application, and a settings
// file of the test's own installed as the program's settings object.
#pragma once
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "benchmark/AppSettings.h"
#include "benchmark/GlobalSettings.h"
#include "tests/forms_support.h"
#include "tests/support_files.h"

namespace testing_support {

class FormFixture : public FileFixture {
protected:
    FormFixture() : FileFixture("pelorin.config") {}
    void SetUp() override {
        EnsureApplication();
        UseSettings("[Config.Application]\n");
    }
    void TearDown() override {
        Benchmark::SetAppSettings(nullptr);
        settings_.reset();
    }
    // Replaces the settings object with one over a file holding `text`.
    void UseSettings(const std::string& text) {
        Benchmark::SetAppSettings(nullptr);
        settings_.reset();
        Put(text);
        settings_ = std::make_unique<TAppSettings>(UnicodeString(path_));
        Benchmark::SetAppSettings(settings_.get());
    }
    TAppSettings& Settings() { return *settings_; }

    std::unique_ptr<TAppSettings> settings_;
};

} // namespace testing_support
