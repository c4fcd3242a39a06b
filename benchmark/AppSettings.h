// The benchmark's persistent configuration, kept in section
// "Config.Application" of the program's settings file, and the transfer
// mode stored there by name.
#pragma once
#include <cstdint>

#include "core/AppSettings.h"
#include "rtl/TypInfo.h"

namespace TransferMode {
enum Enum { Unknown = 0, SendOnly = 1, ReceiveOnly = 2, SendAndReceive = 3 };

const System::TEnumTypeInfo& TypeInfo();
// Trims, then matches the names exactly (case-sensitive). A blank text
// throws EArgumentNull "value"; an unknown name throws EArgument.
Enum Parse(const UnicodeString& value);
UnicodeString ToString(Enum value);
} // namespace TransferMode

// Text conversions for any enumeration with a name table.
namespace EnumConvert {
std::int64_t Parse(const System::TEnumTypeInfo& info, const UnicodeString& value);
UnicodeString ToString(const System::TEnumTypeInfo& info, std::int64_t value);
} // namespace EnumConvert

class TAppSettings : public System::TAppSettingsBase {
public:
    NORVANE_CLASS_INFO()

    // Keys and defaults; code that reads a key through the base class uses
    // these, so every reader agrees on the default.
    static constexpr const char* KeyPort = "Port";
    static constexpr const char* KeyIpAddress = "IpAddress";
    static constexpr const char* KeyTestDurationSec = "TestDurationSec";
    static constexpr const char* KeyTestPacketSize = "TestPacketSize";
    static constexpr const char* KeyTransferMode = "TransferMode";
    static constexpr const char* KeyNumberOfConnections = "NumberOfConnections";
    static constexpr int DefaultPort = 8998;
    static constexpr const char* DefaultIpAddress = "127.0.0.1";
    static constexpr int DefaultTestDurationSec = 10;
    static constexpr int DefaultTestPacketSize = 2097152;
    static constexpr const char* DefaultTransferMode = "SendAndReceive";
    static constexpr int DefaultNumberOfConnections = 1;

    // The program's own settings file; it must exist.
    TAppSettings();
    // Another settings file; it must exist too.
    explicit TAppSettings(const UnicodeString& fileName);

    int GetPort();
    void SetPort(int value);
    UnicodeString GetIpAddress();
    void SetIpAddress(const UnicodeString& value);
    int GetTestDurationSec();
    void SetTestDurationSec(int value);
    int GetTestPacketSize();
    void SetTestPacketSize(int value);
    UnicodeString GetTransferMode();
    void SetTransferMode(const UnicodeString& value);
    int GetNumberOfConnections();
    void SetNumberOfConnections(int value);
};
