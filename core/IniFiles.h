// The runtime's ini-file interface: sections of name=value entries, read
// and written by name, with the typed conversions built on the string
// operations. Engines implement the abstract string-level operations.
#pragma once
#include <vector>

#include "rtl/UnicodeString.h"

namespace System::Inifiles {

using TStrings = std::vector<UnicodeString>;

class TCustomIniFile {
public:
    explicit TCustomIniFile(const UnicodeString& fileName) : fileName_(fileName) {}
    virtual ~TCustomIniFile();
    TCustomIniFile(const TCustomIniFile&) = delete;
    TCustomIniFile& operator=(const TCustomIniFile&) = delete;

    const UnicodeString& FileName() const { return fileName_; }

    virtual UnicodeString ReadString(const UnicodeString& section, const UnicodeString& ident,
                                     const UnicodeString& def) = 0;
    virtual void WriteString(const UnicodeString& section, const UnicodeString& ident,
                             const UnicodeString& value) = 0;

    // Typed access over the string operations. Readers give the default
    // for a missing entry and also for text that does not convert.
    virtual int ReadInteger(const UnicodeString& section, const UnicodeString& ident, int def);
    virtual void WriteInteger(const UnicodeString& section, const UnicodeString& ident, int value);
    virtual bool ReadBool(const UnicodeString& section, const UnicodeString& ident, bool def);
    virtual void WriteBool(const UnicodeString& section, const UnicodeString& ident, bool value);
    virtual double ReadFloat(const UnicodeString& section, const UnicodeString& ident, double def);
    virtual void WriteFloat(const UnicodeString& section, const UnicodeString& ident, double value);
    virtual double ReadDateTime(const UnicodeString& section, const UnicodeString& ident, double def);
    virtual void WriteDateTime(const UnicodeString& section, const UnicodeString& ident, double value);

    // Distinct section names in file order.
    virtual void ReadSections(TStrings& strings) = 0;
    // The sections below `section`, i.e. those named section + "\" + ...
    virtual void ReadSections(const UnicodeString& section, TStrings& strings);
    // The entry names of one section.
    virtual void ReadSection(const UnicodeString& section, TStrings& strings) = 0;
    // "name=value" for every entry of one section.
    virtual void ReadSectionValues(const UnicodeString& section, TStrings& strings) = 0;
    virtual void EraseSection(const UnicodeString& section) = 0;
    virtual void DeleteKey(const UnicodeString& section, const UnicodeString& ident) = 0;
    virtual void UpdateFile() = 0;

    virtual bool SectionExists(const UnicodeString& section);
    virtual bool ValueExists(const UnicodeString& section, const UnicodeString& ident);

private:
    UnicodeString fileName_;
};

} // namespace System::Inifiles
