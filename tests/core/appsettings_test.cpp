// Typed settings over real files: defaults, strictness, what Save writes
// and what happens when it cannot.
#include <gtest/gtest.h>

#include "tests/support_files.h"
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "core/AppSettings.h"
#include "rtl/Conversions.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::message_of;
using System::TAppSettingsBase;

// Published properties with defaults, as an application declares them.
class TSampleSettings : public TAppSettingsBase {
public:
    NORVANE_CLASS_INFO()
    explicit TSampleSettings(const std::string& file, bool mustExist = false)
        : TAppSettingsBase("Config.Application", mustExist, UnicodeString(file)) {
        CheckProperties();
    }
    UnicodeString GetName() { return get_String("Name", "none"); }
    void SetName(const UnicodeString& v) { set_String("Name", "none", v); }
    int GetCount() { return get_int("Count", 5); }
    void SetCount(int v) { set_int("Count", 5, v); }
    bool GetEnabled() { return get_bool("Enabled", false); }
    void SetEnabled(bool v) { set_bool("Enabled", false, v); }
    double GetRatio() { return get_float("Ratio", 0.5); }
    void SetRatio(double v) { set_float("Ratio", 0.5, v); }
};

System::TClass TSampleSettings::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TSampleSettings, TAppSettingsBase>("TSampleSettings", "appsettings_test")
            .Property("Name", &TSampleSettings::GetName, &TSampleSettings::SetName)
            .Property("Count", &TSampleSettings::GetCount, &TSampleSettings::SetCount)
            .Property("Enabled", &TSampleSettings::GetEnabled, &TSampleSettings::SetEnabled)
            .Property("Ratio", &TSampleSettings::GetRatio, &TSampleSettings::SetRatio)
            .Build();
    return &cls;
}

// A property without a default: its entry must be in the file.
class TStrictSettings : public TAppSettingsBase {
public:
    NORVANE_CLASS_INFO()
    explicit TStrictSettings(const std::string& file) : TAppSettingsBase("Net", false, UnicodeString(file)) {
        CheckProperties();
    }
    int GetRetries() { return get_int("Retries", 3); }
    UnicodeString GetHost() { return get_String("Host"); }
    void SetHost(const UnicodeString& v) { set_String("Host", v); }
};

System::TClass TStrictSettings::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TStrictSettings, TAppSettingsBase>("TStrictSettings", "appsettings_test")
            .Property("Retries", &TStrictSettings::GetRetries)
            .Property("Host", &TStrictSettings::GetHost, &TStrictSettings::SetHost)
            .Build();
    return &cls;
}

class AppSettings : public testing_support::FileFixture {
protected:
    AppSettings() : FileFixture("prog.config") {}
    ~AppSettings() override { TAppSettingsBase::SetSaveErrorHandler(nullptr); }
};

TEST_F(AppSettings, MissingFileGivesDefaultsAndIsNotCreatedUntilSomethingChanges) {
    {
        TSampleSettings s(path_);
        EXPECT_EQ(s.GetName(), "none");
        EXPECT_EQ(s.GetCount(), 5);
        EXPECT_FALSE(s.GetEnabled());
        EXPECT_EQ(s.GetRatio(), 0.5);
        s.SetCount(5); // the default: nothing to write
        s.Save();
        EXPECT_FALSE(fs::exists(path_));
        s.SetCount(6);
        EXPECT_EQ(s.GetCount(), 6) << "visible at once, before Save";
        EXPECT_FALSE(fs::exists(path_));
    }
    EXPECT_EQ(Get(), "[Config.Application]\r\nCount=6\r\n") << "the destructor saved";
}

TEST_F(AppSettings, MissingFileThatMustExistFailsConstruction) {
    const std::string msg = message_of<Exception>([&] { TSampleSettings s(path_, true); });
    EXPECT_EQ(msg, TAppSettingsBase::ProgramFileName().ToUtf8() + " config error:\r\n'" + path_ + "' could not be loaded");
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(AppSettings, DefaultFileIsTheProgramsPathWithConfig) {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    ASSERT_GT(n, 0);
    std::string exe(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(TAppSettingsBase::ProgramFileName().ToUtf8(), exe);
    const auto slash = exe.rfind('/'), dot = exe.rfind('.');
    const std::string expected = (dot != std::string::npos && dot > slash ? exe.substr(0, dot) : exe) + ".config";
    if (fs::exists(expected)) GTEST_SKIP() << expected << " exists";
    TAppSettingsBase s(false);
    EXPECT_EQ(s.GetFileName().ToUtf8(), expected);
    EXPECT_EQ(s.GetSection(), "Config.Application");
}

TEST_F(AppSettings, ValueEqualToItsDefaultLeavesTheFile) {
    Put("; settings\r\n[Config.Application]\r\nCount=7\r\nName=\"x\"\r\n");
    {
        TSampleSettings s(path_);
        EXPECT_EQ(s.GetCount(), 7);
        s.SetCount(5);
        EXPECT_EQ(s.GetCount(), 5);
    }
    EXPECT_EQ(Get(), "; settings\r\n[Config.Application]\r\nName=\"x\"\r\n");
}

TEST_F(AppSettings, DuplicatedEntrySetToItsDefaultIsGoneEntirely) {
    Put("[Config.Application]\nCount=7\nCount=8\n");
    {
        TSampleSettings s(path_);
        s.SetCount(5);
        EXPECT_EQ(s.GetCount(), 5) << "the second occurrence must not surface";
    }
    EXPECT_EQ(TSampleSettings(path_).GetCount(), 5);
}

TEST_F(AppSettings, StringWithBreaksTabsAndQuotesRoundTrips) {
    const UnicodeString value(u"first line\nsecond\t\"quoted\"; not a comment\r\nlast");
    {
        TSampleSettings s(path_);
        s.SetName(value);
    }
    const std::string text = Get();
    EXPECT_EQ(text, "[Config.Application]\r\nName=\"first line\"nsecond\"t\"\"quoted\"\"; not a comment\"r\"nlast\"\r\n");
    EXPECT_EQ(TSampleSettings(path_).GetName(), value);
}

TEST_F(AppSettings, FloatsReadBackExactly) {
    {
        TSampleSettings s(path_);
        s.SetRatio(1.0 / 3.0);
    }
    EXPECT_EQ(TSampleSettings(path_).GetRatio(), 1.0 / 3.0);
}

TEST_F(AppSettings, YesIsNotABoolean) {
    Put("[Net]\nFlag=yes\n");
    TAppSettingsBase s("Net", true, UnicodeString(path_));
    const std::string expected = path_ + " [Net]: The value for 'Flag' is not a valid Boolean value!";
    EXPECT_EQ(message_of<Exception>([&] { s.get_bool("Flag"); }), expected);
    EXPECT_EQ(message_of<Exception>([&] { s.get_bool("Flag", true); }), expected);
    EXPECT_THROW(s.get_bool("Flag"), Sysutils::EReadError);
    EXPECT_TRUE(s.get_bool("Other", true));
}

TEST_F(AppSettings, StrictReadersAndWritersWantTheEntry) {
    Put("[Net]\nHost=a\n");
    TAppSettingsBase s("Net", true, UnicodeString(path_));
    EXPECT_EQ(message_of<Exception>([&] { s.get_int("Port"); }), "prog.config [Net]: 'Port' not found!");
    EXPECT_EQ(message_of<Exception>([&] { s.set_int("Port", 1); }), "prog.config [Net]: 'Port' not found!");
    EXPECT_FALSE(s.GetModified());
    s.set_String("Host", "a");
    EXPECT_FALSE(s.GetModified()) << "unchanged value";
    s.set_String("Host", "A");
    EXPECT_TRUE(s.GetModified()) << "strings compare case-sensitively";
    EXPECT_EQ(s.get_String("Host"), "A");
}

TEST_F(AppSettings, MalformedValueCanBeReplacedBySetting) {
    Put("[Net]\nPort=abc\n");
    TAppSettingsBase s("Net", true, UnicodeString(path_));
    EXPECT_THROW(s.get_int("Port", 1), Sysutils::EConvertError);
    s.set_int("Port", 1, 80);
    EXPECT_EQ(s.get_int("Port"), 80);
}

TEST_F(AppSettings, MissingPropertyEntryFailsConstructionNamingIt) {
    Put("[Net]\nRetries=4\n");
    const std::string msg = message_of<Exception>([&] { TStrictSettings s(path_); });
    EXPECT_EQ(msg, "Application Settings has encountered an error in\r\n'" + path_ +
                       "'\r\nwhile processing property 'Host':\r\n\r\nprog.config [Net]: 'Host' not found!");
}

TEST_F(AppSettings, MalformedPropertyValueFailsConstructionNamingIt) {
    Put("[Config.Application]\nCount=seven\n");
    const std::string msg = message_of<Exception>([&] { TSampleSettings s(path_); });
    EXPECT_NE(msg.find("while processing property 'Count':\r\n\r\n'seven' is not a valid integer value"),
              std::string::npos)
        << msg;
}

TEST_F(AppSettings, TestAllGetsStopsAtTheFirstFailingProperty) {
    Put("[Net]\nRetries=x\n"); // Host is missing too, but comes later
    const std::string msg = message_of<Exception>([&] { TStrictSettings s(path_); });
    EXPECT_NE(msg.find("while processing property 'Retries':\r\n\r\n'x' is not a valid integer value"),
              std::string::npos)
        << msg;
    TAppSettingsBase base("Net", false, UnicodeString(path_));
    UnicodeString error, property;
    EXPECT_TRUE(base.TestAllGets(error, property)) << "the base class publishes nothing";
    EXPECT_TRUE(property.IsEmpty());
}

TEST_F(AppSettings, HandEditedFileSurvivesASave) {
    const std::string before =
        "; Pelorin settings\r\n"
        "\r\n"
        "[Config.Runtime]\r\n"
        "gcEmbeddedSys=FALSE\r\n"
        "\r\n"
        "[Config.Application]\r\n"
        "   Count =  7   \r\n"
        "; the name\r\n"
        "Name=\"old\"    ; who\r\n"
        "Unused = keep me\r\n"
        "\r\n"
        "[Other]\r\n"
        "x=1\r\n";
    Put(before);
    {
        TSampleSettings s(path_);
        s.SetName("new");
        s.SetEnabled(true);
    }
    EXPECT_EQ(Get(),
              "; Pelorin settings\r\n"
              "\r\n"
              "[Config.Runtime]\r\n"
              "gcEmbeddedSys=FALSE\r\n"
              "\r\n"
              "[Config.Application]\r\n"
              "Count=7\r\n"
              "; the name\r\n"
              "Name=\"new\"    ; who\r\n"
              "Unused=keep me\r\n"
              "Enabled=TRUE\r\n"
              "\r\n"
              "[Other]\r\n"
              "x=1\r\n");
}

TEST_F(AppSettings, TwoSectionsOfOneFileEachKeepTheirOwn) {
    {
        TAppSettingsBase runtime("Config.Runtime", false, UnicodeString(path_));
        runtime.set_bool("gcEmbeddedSys", false, true);
    }
    {
        TSampleSettings app(path_);
        app.SetCount(9);
    }
    EXPECT_EQ(Get(), "[Config.Runtime]\r\ngcEmbeddedSys=TRUE\r\n\r\n[Config.Application]\r\nCount=9\r\n");
}

// ---- failures while saving ----------------------------------------------------

class AppSettingsSave : public AppSettings {
protected:
    // The file's folder vanishes, so writing fails until it is back.
    void Break() {
        fs::create_directory(dir_ / "sub");
        path_ = (dir_ / "sub" / "prog.config").string();
    }
    void Vanish() { fs::remove_all(dir_ / "sub"); }
    void Restore() { fs::create_directory(dir_ / "sub"); }
};

TEST_F(AppSettingsSave, RetryThenSuccess) {
    Break();
    TSampleSettings s(path_);
    s.SetCount(8);
    Vanish();
    std::vector<std::string> asked;
    TAppSettingsBase::SetSaveErrorHandler([&](const UnicodeString& text) {
        asked.push_back(text.ToUtf8());
        Restore();
        return TAppSettingsBase::TSaveErrorAnswer::Retry;
    });
    s.Save();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].rfind("An error has occurred while saving changes to application settings.\r\n\r\n"
                             "Cannot create file \"" + path_ + "\". ",
                             0),
              0u)
        << asked[0];
    EXPECT_EQ(Get(), "[Config.Application]\r\nCount=8\r\n");
    EXPECT_FALSE(s.GetModified());
}

TEST_F(AppSettingsSave, IgnoreGivesUp) {
    Break();
    int asked = 0;
    {
        TSampleSettings s(path_);
        s.SetCount(8);
        Vanish();
        TAppSettingsBase::SetSaveErrorHandler([&](const UnicodeString&) {
            ++asked;
            return TAppSettingsBase::TSaveErrorAnswer::Ignore;
        });
        s.Save();
        EXPECT_EQ(asked, 1);
        EXPECT_FALSE(s.GetModified());
        EXPECT_EQ(s.GetCount(), 8) << "still in memory";
        Restore();
    }
    EXPECT_EQ(asked, 1) << "the destructor has nothing left to save";
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(AppSettingsSave, WithoutHandlerReportedAndKeptForTheNextSave) {
    Break();
    testing_support::DebugCapture capture;
    {
        TSampleSettings s(path_);
        s.SetCount(8);
        Vanish();
        ::testing::internal::CaptureStderr();
        s.Save();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("An error has occurred while saving changes to application settings."), std::string::npos)
            << err;
        ASSERT_EQ(capture.lines().size(), 1u);
        EXPECT_NE(capture.lines()[0].find("Cannot create file"), std::string::npos);
        EXPECT_TRUE(s.GetModified()) << "the change is still pending";
        Restore();
    }
    EXPECT_EQ(Get(), "[Config.Application]\r\nCount=8\r\n") << "the destructor's Save wrote it";
}

TEST_F(AppSettingsSave, DestructorReportsWhatSaveThrows) {
    struct {
        std::function<TAppSettingsBase::TSaveErrorAnswer(const UnicodeString&)> handler;
        const char* line;
    } cases[] = {
        {[](const UnicodeString&) -> TAppSettingsBase::TSaveErrorAnswer { throw Exception("no dialog"); },
         "WARNING - Error saving AppSettings: no dialog"},
        {[](const UnicodeString&) -> TAppSettingsBase::TSaveErrorAnswer { throw 42; },
         "WARNING: Error saving AppSettings"},
    };
    for (auto& c : cases) {
        Break();
        testing_support::DebugCapture capture;
        {
            TSampleSettings s(path_);
            s.SetCount(8);
            Vanish();
            TAppSettingsBase::SetSaveErrorHandler(c.handler);
        }
        EXPECT_EQ(capture.lines(), std::vector<std::string>{c.line});
        TAppSettingsBase::SetSaveErrorHandler(nullptr);
    }
}

TEST_F(AppSettings, SharedBetweenThreads) {
    TAppSettingsBase s("Config.Application", false, UnicodeString(path_));
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&s, &wrong, t] {
            const UnicodeString key = "k" + Sysutils::IntToStr(t);
            for (int i = 1; i <= 500; ++i) {
                s.set_int(key, 0, i);
                if (s.get_int(key, 0) != i) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    s.Save();
    TAppSettingsBase again("Config.Application", true, UnicodeString(path_));
    for (int t = 0; t < 4; ++t) EXPECT_EQ(again.get_int("k" + Sysutils::IntToStr(t)), 500);
}

} // namespace
