#include "core/MemIniFileEx.h"

#include <bit>
#include <cstdint>

#include "rtl/Conversions.h"
#include "rtl/Exception.h"

namespace System::Inifiles {

using namespace System::Sysutils;

using Fastinifile::IsBlank;
using Fastinifile::TrimBlanks;

UnicodeString ExtractFileName(const UnicodeString& path) {
    const auto p = path.u16().find_last_of(u'/');
    return p == std::u16string::npos ? path : UnicodeString(path.u16().substr(p + 1));
}

TMemIniFileEx::TMemIniFileEx(const UnicodeString& fileName) : TFastIniFile(fileName) {}
TMemIniFileEx::~TMemIniFileEx() = default;

UnicodeString TMemIniFileEx::QuoteString(const UnicodeString& s) {
    std::u16string q;
    q.reserve(static_cast<std::size_t>(s.Length()) + 2);
    q += u'"';
    for (char16_t c : s.u16()) {
        if (c == u'"') q += u"\"\"";
        else q += c;
    }
    q += u'"';
    std::u16string out;
    out.reserve(q.size());
    for (char16_t c : q) {
        switch (c) {
        case u'\n': out += u"\"n"; break;
        case u'\r': out += u"\"r"; break;
        case u'\t': out += u"\"t"; break;
        default: out += c; break;
        }
    }
    return UnicodeString(std::move(out));
}

UnicodeString TMemIniFileEx::DequoteString(const UnicodeString& s) {
    std::u16string t = s.Trim().u16();
    if (t.size() >= 2 && t.front() == u'"' && t.back() == u'"') t = t.substr(1, t.size() - 2);
    std::u16string out;
    out.reserve(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] != u'"') {
            out += t[i];
            continue;
        }
        if (++i >= t.size()) break;
        switch (t[i]) {
        case u'"': out += u'"'; break;
        case u'n': out += u'\n'; break;
        case u'r': out += u'\r'; break;
        case u't': out += u'\t'; break;
        default: break; // an unknown escape is dropped
        }
    }
    return UnicodeString(std::move(out));
}

int TMemIniFileEx::InlineCommentStart(std::u16string_view v) const {
    if (!quoting_) return TFastIniFile::InlineCommentStart(v);
    bool inside = false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char16_t c = v[i];
        if (inside) {
            if (c != u'"') continue;
            if (i + 1 < v.size() && (v[i + 1] == u'"' || v[i + 1] == u'n' || v[i + 1] == u'r' || v[i + 1] == u't')) {
                ++i; // an escape, still inside
                continue;
            }
            inside = false;
        } else if (c == u';') {
            return static_cast<int>(i);
        } else if (c == u'"') {
            inside = true;
        }
    }
    return -1;
}

UnicodeString TMemIniFileEx::Unquoted(const UnicodeString& raw) const {
    UnicodeString v = raw;
    if (InlineComments) {
        const int c = InlineCommentStart(v.u16());
        if (c >= 0) v = TrimBlanks(std::u16string_view(v.u16()).substr(0, static_cast<std::size_t>(c)));
    }
    if (!quoting_) {
        if (StripQuotes && v.Length() >= 2 && (v[0] == u'"' || v[0] == u'\'') && v[v.Length() - 1] == v[0])
            v = v.SubString(1, v.Length() - 2);
        return v;
    }
    // Double quotes are DequoteString's: removing them here as well would
    // strip a value's own surrounding quotes a second time.
    if (StripQuotes && v.Length() >= 2 && v[0] == u'\'' && v[v.Length() - 1] == u'\'')
        v = v.SubString(1, v.Length() - 2);
    return DequoteString(v);
}

void TMemIniFileEx::ThrowNotFound(const UnicodeString& section, const UnicodeString& ident) const {
    throw EReadError(ExtractFileName(FileName()) + " [" + section + "]: '" + ident + "' not found!");
}

void TMemIniFileEx::WriteString(const UnicodeString& section, const UnicodeString& ident, const UnicodeString& value) {
    WriteRaw(section, ident, quoting_ ? QuoteString(value) : value);
}

void TMemIniFileEx::WriteBool(const UnicodeString& section, const UnicodeString& ident, bool value) {
    WriteRaw(section, ident, value ? "TRUE" : "FALSE");
}

void TMemIniFileEx::WriteInteger(const UnicodeString& section, const UnicodeString& ident, int value) {
    WriteRaw(section, ident, IntToStr(value));
}

void TMemIniFileEx::WriteFloat(const UnicodeString& section, const UnicodeString& ident, double value) {
    WriteString(section, ident, FloatToStr(value));
}

void TMemIniFileEx::WriteDateTime(const UnicodeString& section, const UnicodeString& ident, double value) {
    WriteRaw(section, ident, "0x" + IntToHex(std::bit_cast<std::uint64_t>(value), 8));
}

UnicodeString TMemIniFileEx::ReadString(const UnicodeString& section, const UnicodeString& ident,
                                        const UnicodeString& def) {
    UnicodeString raw;
    return FindRawValue(section, ident, raw) ? Unquoted(raw) : def;
}

UnicodeString TMemIniFileEx::ReadString(const UnicodeString& section, const UnicodeString& ident) {
    UnicodeString raw;
    if (!FindRawValue(section, ident, raw)) ThrowNotFound(section, ident);
    return Unquoted(raw);
}

bool TMemIniFileEx::ReadBool(const UnicodeString& section, const UnicodeString& ident) {
    const UnicodeString v = ReadString(section, ident);
    if (CompareTextUnicode(v, "TRUE") == 0) return true;
    if (CompareTextUnicode(v, "FALSE") == 0) return false;
    throw EReadError(FileName() + " [" + section + "]: The value for '" + ident + "' is not a valid Boolean value!");
}

int TMemIniFileEx::ReadInteger(const UnicodeString& section, const UnicodeString& ident) {
    return StrToInt(ReadString(section, ident));
}

double TMemIniFileEx::ReadFloat(const UnicodeString& section, const UnicodeString& ident) {
    return StrToFloat(ReadString(section, ident));
}

double TMemIniFileEx::ReadDateTime(const UnicodeString& section, const UnicodeString& ident) {
    return std::bit_cast<double>(StrToInt64(ReadString(section, ident)));
}

bool TMemIniFileEx::ReadBool(const UnicodeString& section, const UnicodeString& ident, bool def) {
    return ValueExists(section, ident) ? ReadBool(section, ident) : def;
}

int TMemIniFileEx::ReadInteger(const UnicodeString& section, const UnicodeString& ident, int def) {
    return ValueExists(section, ident) ? ReadInteger(section, ident) : def;
}

double TMemIniFileEx::ReadFloat(const UnicodeString& section, const UnicodeString& ident, double def) {
    return ValueExists(section, ident) ? ReadFloat(section, ident) : def;
}

double TMemIniFileEx::ReadDateTime(const UnicodeString& section, const UnicodeString& ident, double def) {
    return ValueExists(section, ident) ? ReadDateTime(section, ident) : def;
}

void TMemIniFileEx::InitSectionList() {
    ReadSections(sectionList_);
    sectionListLoaded_ = true;
    sectionListVersion_ = SectionsVersion();
}

const TStrings& TMemIniFileEx::GetSectionList() {
    EnsureLoaded();
    if (!sectionListLoaded_ || sectionListVersion_ != SectionsVersion()) InitSectionList();
    return sectionList_;
}

int TMemIniFileEx::SectionCount() { return static_cast<int>(GetSectionList().size()); }

void TMemIniFileEx::ReadSections(const UnicodeString& section, TStrings& strings) {
    TCustomIniFile::ReadSections(section, strings);
}

} // namespace System::Inifiles
