// The library's settings object over real files.
#include "core/NorvaneSettings.h"

#include <gtest/gtest.h>

#include "tests/temp_dir.h"

namespace {

using System::TNorvaneSettings;
using testing_support::TempDir;
using testing_support::WriteBytes;

TEST(NorvaneSettings, EmbeddedFlagFromTheRuntimeSection) {
    TempDir dir;
    struct Case {
        const char* text;
        bool expected;
    } cases[] = {
        {nullptr, false}, // no file at all
        {"", false},
        {"[Config.Application]\ngcEmbeddedSys=TRUE\n", false}, // another section
        {"[Config.Runtime]\ngcEmbeddedSys=TRUE\n", true},
        {"[Config.Runtime]\ngcEmbeddedSys=FALSE\n", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string file = dir.file("case" + std::to_string(n++) + ".config");
        if (c.text) WriteBytes(file, c.text);
        TNorvaneSettings s{UnicodeString(file)};
        EXPECT_EQ(s.GetgcEmbeddedSys(), c.expected) << (c.text ? c.text : "(no file)");
        EXPECT_EQ(s.GetSection().ToUtf8(), "Config.Runtime");
    }
}

TEST(NorvaneSettings, MalformedValueIsAClearError) {
    TempDir dir;
    const std::string file = dir.file("bad.config");
    WriteBytes(file, "[Config.Runtime]\ngcEmbeddedSys=perhaps\n");
    EXPECT_THROW(TNorvaneSettings{UnicodeString(file)}, Exception);
}

TEST(NorvaneSettings, TheLibraryMadeOneAtStartUp) {
    ASSERT_NE(TNorvaneSettings::Instance(), nullptr);
    EXPECT_EQ(TNorvaneSettings::Instance()->GetFileName(), System::TAppSettingsBase::DefaultConfigFileName());
}

} // namespace
