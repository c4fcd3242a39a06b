// The settings store's ini file: the engine plus quoted strings, so that
// any text -- line breaks, tabs, quotes, ';', surrounding blanks -- is kept
// on one line and reads back unchanged; typed values with strict readers
// whose errors name the file, section and entry.
#pragma once
#include "core/Fastinifile.h"

namespace System::Inifiles {

class TMemIniFileEx : public Fastinifile::TFastIniFile {
public:
    explicit TMemIniFileEx(const UnicodeString& fileName);
    ~TMemIniFileEx() override;

    // "a\"b" + LF -> "\"a\"\"b\"n\"": quotes doubled, LF/CR/TAB as "n "r "t.
    static UnicodeString QuoteString(const UnicodeString& s);
    static UnicodeString DequoteString(const UnicodeString& s);

    // Strings are written quoted while Quoting is on (the default).
    bool GetQuoting() const { return quoting_; }
    void SetQuoting(bool on) { quoting_ = on; }

    void WriteString(const UnicodeString& section, const UnicodeString& ident, const UnicodeString& value) override;
    void WriteBool(const UnicodeString& section, const UnicodeString& ident, bool value) override;        // TRUE/FALSE
    void WriteInteger(const UnicodeString& section, const UnicodeString& ident, int value) override;
    void WriteFloat(const UnicodeString& section, const UnicodeString& ident, double value) override;     // quoted text
    void WriteDateTime(const UnicodeString& section, const UnicodeString& ident, double value) override;  // 0x<bits>

    // With a default: the default for a missing entry. Text that does not
    // convert is an error, not the default: a typing mistake in the file
    // must not pass unnoticed.
    UnicodeString ReadString(const UnicodeString& section, const UnicodeString& ident,
                             const UnicodeString& def) override;
    bool ReadBool(const UnicodeString& section, const UnicodeString& ident, bool def) override;
    int ReadInteger(const UnicodeString& section, const UnicodeString& ident, int def) override;
    double ReadFloat(const UnicodeString& section, const UnicodeString& ident, double def) override;
    double ReadDateTime(const UnicodeString& section, const UnicodeString& ident, double def) override;

    // Strict: a missing entry throws EReadError "<file> [<section>]: '<name>' not found!".
    UnicodeString ReadString(const UnicodeString& section, const UnicodeString& ident);
    bool ReadBool(const UnicodeString& section, const UnicodeString& ident);
    int ReadInteger(const UnicodeString& section, const UnicodeString& ident);
    double ReadFloat(const UnicodeString& section, const UnicodeString& ident);
    double ReadDateTime(const UnicodeString& section, const UnicodeString& ident);

    [[noreturn]] void ThrowNotFound(const UnicodeString& section, const UnicodeString& ident) const;

    // The section names, gathered on first use and again after sections
    // were added or removed.
    int SectionCount();
    const TStrings& GetSectionList();
    void InitSectionList();
    void ReadSections(const UnicodeString& section, TStrings& strings) override;
    using TFastIniFile::ReadSections;

protected:
    // Understands the quoting above: an escape inside quotes does not end
    // them, so a ';' in a quoted value is never taken for a comment.
    int InlineCommentStart(std::u16string_view value) const override;

private:
    UnicodeString Unquoted(const UnicodeString& raw) const;

    TStrings sectionList_;
    bool sectionListLoaded_ = false;
    bool quoting_ = true;
    unsigned sectionListVersion_ = 0;
};

// The file name without its directory.
UnicodeString ExtractFileName(const UnicodeString& path);

} // namespace System::Inifiles
