#include "core/IniFiles.h"

#include <bit>
#include <cstdint>

#include "rtl/Conversions.h"

namespace System::Inifiles {

using namespace System::Sysutils;

TCustomIniFile::~TCustomIniFile() = default;

int TCustomIniFile::ReadInteger(const UnicodeString& section, const UnicodeString& ident, int def) {
    return StrToIntDef(ReadString(section, ident, UnicodeString()), def);
}

void TCustomIniFile::WriteInteger(const UnicodeString& section, const UnicodeString& ident, int value) {
    WriteString(section, ident, IntToStr(value));
}

bool TCustomIniFile::ReadBool(const UnicodeString& section, const UnicodeString& ident, bool def) {
    return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

void TCustomIniFile::WriteBool(const UnicodeString& section, const UnicodeString& ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

double TCustomIniFile::ReadFloat(const UnicodeString& section, const UnicodeString& ident, double def) {
    double v;
    return TryStrToFloat(ReadString(section, ident, UnicodeString()), v) ? v : def;
}

void TCustomIniFile::WriteFloat(const UnicodeString& section, const UnicodeString& ident, double value) {
    WriteString(section, ident, FloatToStr(value));
}

double TCustomIniFile::ReadDateTime(const UnicodeString& section, const UnicodeString& ident, double def) {
    return ReadFloat(section, ident, def);
}

void TCustomIniFile::WriteDateTime(const UnicodeString& section, const UnicodeString& ident, double value) {
    WriteFloat(section, ident, value);
}

void TCustomIniFile::ReadSections(const UnicodeString& section, TStrings& strings) {
    TStrings all;
    ReadSections(all);
    strings.clear();
    const UnicodeString prefix = section + "\\";
    for (auto& s : all)
        if (s.Length() > prefix.Length() && CompareTextUnicode(s.SubString(0, prefix.Length()), prefix) == 0)
            strings.push_back(s);
}

bool TCustomIniFile::SectionExists(const UnicodeString& section) {
    TStrings names;
    ReadSection(section, names);
    return !names.empty();
}

bool TCustomIniFile::ValueExists(const UnicodeString& section, const UnicodeString& ident) {
    TStrings names;
    ReadSection(section, names);
    for (auto& n : names)
        if (CompareTextUnicode(n, ident) == 0) return true;
    return false;
}

} // namespace System::Inifiles
