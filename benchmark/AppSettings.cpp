#include "benchmark/AppSettings.h"

#include "core/Exceptions.h"

namespace EnumConvert {

std::int64_t Parse(const System::TEnumTypeInfo& info, const UnicodeString& value) {
    (void)info.MinValue(); // only sequential enumerations have a name table
    const UnicodeString text = value.Trim();
    if (text.IsEmpty()) throw System::EArgumentNull("value");
    std::int64_t v;
    if (!System::Typinfo::TryGetEnumValue(info, text, v))
        throw System::EArgument("argument is not one of the named constants in the enumeration", "value");
    return v;
}

UnicodeString ToString(const System::TEnumTypeInfo& info, std::int64_t value) {
    return System::Typinfo::GetEnumName(info, value);
}

} // namespace EnumConvert

namespace TransferMode {

const System::TEnumTypeInfo& TypeInfo() {
    static const System::TEnumTypeInfo info("TransferMode::Enum", {{"Unknown", Unknown},
                                                                   {"SendOnly", SendOnly},
                                                                   {"ReceiveOnly", ReceiveOnly},
                                                                   {"SendAndReceive", SendAndReceive}});
    return info;
}

Enum Parse(const UnicodeString& value) { return static_cast<Enum>(EnumConvert::Parse(TypeInfo(), value)); }
UnicodeString ToString(Enum value) { return EnumConvert::ToString(TypeInfo(), value); }

} // namespace TransferMode

System::TClass TAppSettings::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TAppSettings, System::TAppSettingsBase>("TAppSettings", "AppSettings")
            .Property(KeyPort, &TAppSettings::GetPort, &TAppSettings::SetPort)
            .Property(KeyIpAddress, &TAppSettings::GetIpAddress, &TAppSettings::SetIpAddress)
            .Property(KeyTestDurationSec, &TAppSettings::GetTestDurationSec, &TAppSettings::SetTestDurationSec)
            .Property(KeyTestPacketSize, &TAppSettings::GetTestPacketSize, &TAppSettings::SetTestPacketSize)
            .Property(KeyTransferMode, &TAppSettings::GetTransferMode, &TAppSettings::SetTransferMode)
            .Property(KeyNumberOfConnections, &TAppSettings::GetNumberOfConnections,
                      &TAppSettings::SetNumberOfConnections)
            .Build();
    return &cls;
}

TAppSettings::TAppSettings() : TAppSettingsBase(true) { CheckProperties(); }

TAppSettings::TAppSettings(const UnicodeString& fileName) : TAppSettingsBase("Config.Application", true, fileName) {
    CheckProperties();
}

int TAppSettings::GetPort() { return get_int(KeyPort, DefaultPort); }
void TAppSettings::SetPort(int v) { set_int(KeyPort, DefaultPort, v); }
UnicodeString TAppSettings::GetIpAddress() { return get_String(KeyIpAddress, DefaultIpAddress); }
void TAppSettings::SetIpAddress(const UnicodeString& v) { set_String(KeyIpAddress, DefaultIpAddress, v); }
int TAppSettings::GetTestDurationSec() { return get_int(KeyTestDurationSec, DefaultTestDurationSec); }
void TAppSettings::SetTestDurationSec(int v) { set_int(KeyTestDurationSec, DefaultTestDurationSec, v); }
int TAppSettings::GetTestPacketSize() { return get_int(KeyTestPacketSize, DefaultTestPacketSize); }
void TAppSettings::SetTestPacketSize(int v) { set_int(KeyTestPacketSize, DefaultTestPacketSize, v); }
UnicodeString TAppSettings::GetTransferMode() { return get_String(KeyTransferMode, DefaultTransferMode); }
void TAppSettings::SetTransferMode(const UnicodeString& v) { set_String(KeyTransferMode, DefaultTransferMode, v); }
int TAppSettings::GetNumberOfConnections() { return get_int(KeyNumberOfConnections, DefaultNumberOfConnections); }
void TAppSettings::SetNumberOfConnections(int v) {
    set_int(KeyNumberOfConnections, DefaultNumberOfConnections, v);
}
