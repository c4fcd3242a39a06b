// The benchmark's six settings and the transfer-mode names.
#include <gtest/gtest.h>

#include "tests/support_files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "benchmark/AppSettings.h"
#include "core/Exceptions.h"
#include "rtl/Exception.h"

namespace {

namespace fs = std::filesystem;

class AppSettingsBenchmark : public testing_support::FileFixture {
protected:
    AppSettingsBenchmark() : FileFixture("pelorin.config") {}
};

TEST_F(AppSettingsBenchmark, FileWithoutTheKeysGivesTheDefaults) {
    Put("; nothing yet\n[Config.Runtime]\ngcEmbeddedSys=FALSE\n");
    TAppSettings s(path_);
    EXPECT_EQ(s.GetPort(), 8998);
    EXPECT_EQ(s.GetIpAddress(), "127.0.0.1");
    EXPECT_EQ(s.GetTestDurationSec(), 10);
    EXPECT_EQ(s.GetTestPacketSize(), 2097152);
    EXPECT_EQ(s.GetTransferMode(), "SendAndReceive");
    EXPECT_EQ(TransferMode::Parse(s.GetTransferMode()), TransferMode::SendAndReceive);
    EXPECT_EQ(s.GetNumberOfConnections(), 1);
    // The base-class readers other units use agree with the properties.
    EXPECT_EQ(s.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort), s.GetPort());
}

TEST_F(AppSettingsBenchmark, MissingFileStopsConstruction) {
    try {
        TAppSettings s(path_);
        ADD_FAILURE() << "constructed";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().ToUtf8().find(" config error:\r\n'" + path_ + "' could not be loaded"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(AppSettingsBenchmark, ProgramsOwnFileMustExist) {
    const std::string own = System::TAppSettingsBase::DefaultConfigFileName().ToUtf8();
    if (fs::exists(own)) GTEST_SKIP() << own << " exists";
    EXPECT_THROW(TAppSettings s, Exception);
    EXPECT_FALSE(fs::exists(own));
}

TEST_F(AppSettingsBenchmark, PublishedPropertiesAreTheSixKeys) {
    Put("");
    TAppSettings s(path_);
    std::vector<UnicodeString> names;
    for (const System::TPropInfo* p : System::Typinfo::GetPropList(s.ClassType())) names.push_back(p->Name);
    EXPECT_EQ(names, (std::vector<UnicodeString>{"Port", "IpAddress", "TestDurationSec", "TestPacketSize",
                                                 "TransferMode", "NumberOfConnections"}));
    System::Typinfo::SetOrdProp(s, "NumberOfConnections", 4);
    EXPECT_EQ(s.get_int("NumberOfConnections"), 4);
}

TEST_F(AppSettingsBenchmark, ChangedValuesAreSavedAndDefaultsDropped) {
    Put("[Config.Application]\nPort=9000\nTestDurationSec=30\n");
    {
        TAppSettings s(path_);
        s.SetPort(8998);                 // back to the default
        s.SetIpAddress("lan-peer");
        s.SetTestPacketSize(65536);
        s.SetTransferMode(TransferMode::ToString(TransferMode::ReceiveOnly));
        s.SetNumberOfConnections(20);
    }
    EXPECT_EQ(Get(), "[Config.Application]\r\nTestDurationSec=30\r\nIpAddress=\"lan-peer\"\r\nTestPacketSize=65536\r\n"
                     "TransferMode=\"ReceiveOnly\"\r\nNumberOfConnections=20\r\n");
    TAppSettings again(path_);
    EXPECT_EQ(again.GetPort(), 8998);
    EXPECT_EQ(again.GetIpAddress(), "lan-peer");
    EXPECT_EQ(again.GetTestDurationSec(), 30);
    EXPECT_EQ(TransferMode::Parse(again.GetTransferMode()), TransferMode::ReceiveOnly);
}

TEST_F(AppSettingsBenchmark, MalformedNumberStopsConstructionNamingTheProperty) {
    Put("[Config.Application]\nTestPacketSize=2MB\n");
    try {
        TAppSettings s(path_);
        ADD_FAILURE() << "constructed";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().ToUtf8().find("while processing property 'TestPacketSize'"), std::string::npos)
            << e.Message().ToUtf8();
    }
}

TEST(AppSettingsTransferMode, Parse) {
    struct {
        const char* text;
        TransferMode::Enum value;
    } good[] = {
        {"Unknown", TransferMode::Unknown},
        {"  SendOnly \t", TransferMode::SendOnly},
        {"ReceiveOnly", TransferMode::ReceiveOnly},
        {"SendAndReceive", TransferMode::SendAndReceive},
    };
    for (const auto& c : good) EXPECT_EQ(TransferMode::Parse(c.text), c.value) << c.text;

    for (const char* blank : {"", "   "}) {
        try {
            TransferMode::Parse(blank);
            ADD_FAILURE() << "'" << blank << "'";
        } catch (const System::EArgumentNull& e) {
            EXPECT_EQ(e.ParamName(), "value");
        }
    }
    for (const char* bad : {"sendonly", "Send Only", "SendOnly2", "3"}) {
        try {
            TransferMode::Parse(bad);
            ADD_FAILURE() << bad;
        } catch (const System::EArgumentNull&) {
            ADD_FAILURE() << bad;
        } catch (const System::EArgument& e) {
            EXPECT_EQ(e.ParamName(), "value");
            EXPECT_NE(e.Message().ToUtf8().find("argument is not one of the named constants in the enumeration"),
                      std::string::npos);
        }
    }
}

TEST(AppSettingsTransferMode, ToString) {
    EXPECT_EQ(TransferMode::ToString(TransferMode::ReceiveOnly), "ReceiveOnly");
    for (auto v : {TransferMode::Unknown, TransferMode::SendOnly, TransferMode::ReceiveOnly, TransferMode::SendAndReceive})
        EXPECT_EQ(TransferMode::Parse(TransferMode::ToString(v)), v);
    EXPECT_THROW(TransferMode::ToString(static_cast<TransferMode::Enum>(4)), Sysutils::ERangeError);
}

TEST(AppSettingsTransferMode, ConversionsRefuseNonSequentialEnumerations) {
    const System::TEnumTypeInfo flags("Flags", {{"None", 0}, {"Read", 1}, {"Write", 2}, {"All", 4}});
    for (auto f : {+[](const System::TEnumTypeInfo& i) { EnumConvert::Parse(i, "Read"); },
                   +[](const System::TEnumTypeInfo& i) { EnumConvert::ToString(i, 1); }}) {
        try {
            f(flags);
            ADD_FAILURE();
        } catch (const Sysutils::EInvalidOperation& e) {
            EXPECT_EQ(e.Message(), "Operation is not supported for non-sequential enum types");
        }
    }
}

} // namespace
