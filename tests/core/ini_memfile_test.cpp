// The settings store's ini file: quoted strings and typed values, through
// real files.
#include <gtest/gtest.h>

#include "tests/support_files.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "core/MemIniFileEx.h"
#include "rtl/Exception.h"

namespace {

namespace fs = std::filesystem;
using System::Inifiles::TMemIniFileEx;

class IniMemFile : public testing_support::FileFixture {
protected:
    IniMemFile() : FileFixture("app.config") {}
    TMemIniFileEx Fresh() const { return TMemIniFileEx(UnicodeString(path_)); }

};

// Values that upset a naive quoting scheme: escapes that look like closing
// quotes, a ';' after an escape, quotes at both ends.
const std::u16string kAwkward[] = {
    u"",
    u"plain",
    u"  blanks around  ",
    u"a\"b",
    u"\"quoted\"",
    u"\"",
    u"\"\"",
    u"line1\nline2",
    u"line1\r\nline2\r\n",
    u"tab\there",
    u"semi;colon",
    u"break\n; then semicolon",
    u"tab\t;x\"",
    u"ends with \"n",
    u"'single'",
    u"\u00e9t\u00e9 \u6771\u4eac",
};

TEST_F(IniMemFile, AwkwardStringsRoundTripOnOneLine) {
    {
        TMemIniFileEx ini = Fresh();
        int i = 0;
        for (const auto& v : kAwkward) ini.WriteString("S", "k" + std::to_string(i++), UnicodeString(v));
        ini.UpdateFile();
    }
    const std::string text = Get();
    std::size_t lines = 0;
    for (std::size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, std::size(kAwkward) + 1) << "one line per value plus the header:\n" << text;
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1) << "no bare line feed";

    TMemIniFileEx ini = Fresh();
    int i = 0;
    for (const auto& v : kAwkward) {
        const UnicodeString key = "k" + std::to_string(i++);
        EXPECT_EQ(ini.ReadString("S", key), UnicodeString(v)) << key.ToUtf8();
        EXPECT_EQ(TMemIniFileEx::DequoteString(TMemIniFileEx::QuoteString(UnicodeString(v))), UnicodeString(v));
    }
}

TEST_F(IniMemFile, QuotingIsTheDocumentedText) {
    EXPECT_EQ(TMemIniFileEx::QuoteString(u"a\"b\nc\rd\te"), UnicodeString(u"\"a\"\"b\"nc\"rd\"te\""));
}

TEST_F(IniMemFile, DequoteOfHandWrittenText) {
    struct {
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {u"  \"x\"  ", u"x"},           // trimmed first
        {u"a\"nb", u"a\nb"},            // escapes also outside quotes
        {u"\"a\"\"b\"", u"a\"b"},
        {u"a\"qb", u"ab"},              // an unknown escape is dropped
        {u"\"", u""},
        {u"plain", u"plain"},
    };
    for (const auto& c : cases) EXPECT_EQ(TMemIniFileEx::DequoteString(c.in), UnicodeString(c.out)) << UnicodeString(c.in).ToUtf8();
}

TEST_F(IniMemFile, InlineCommentAfterAQuotedValue) {
    Put("[S]\nk=\"a;b\"n;c\"   ; comment\nu=plain ; note\ns='x' ; n\n");
    TMemIniFileEx ini = Fresh();
    EXPECT_EQ(ini.ReadString("S", "k"), UnicodeString(u"a;b\n;c"));
    EXPECT_EQ(ini.ReadString("S", "u"), "plain");
    EXPECT_EQ(ini.ReadString("S", "s"), "x");
    ini.WriteString("S", "k", "new");
    ini.UpdateFile();
    EXPECT_EQ(Get(), "[S]\r\nk=\"new\"       ; comment\r\nu=plain ; note\r\ns='x' ; n\r\n");
}

TEST_F(IniMemFile, StrictReadersNameFileSectionAndEntry) {
    Put("[S]\nflag=yes\nn=abc\n");
    TMemIniFileEx ini = Fresh();
    try {
        ini.ReadString("S", "missing");
        ADD_FAILURE() << "no exception";
    } catch (const Sysutils::EReadError& e) {
        EXPECT_EQ(e.Message(), "app.config [S]: 'missing' not found!");
    }
    try {
        ini.ReadBool("S", "flag");
        ADD_FAILURE() << "no exception";
    } catch (const Sysutils::EReadError& e) {
        EXPECT_EQ(e.Message(), UnicodeString(path_) + " [S]: The value for 'flag' is not a valid Boolean value!");
    }
    EXPECT_THROW(ini.ReadBool("S", "flag", true), Sysutils::EReadError) << "a typing mistake is not the default";
    EXPECT_THROW(ini.ReadInteger("S", "n", 1), Sysutils::EConvertError);
    EXPECT_EQ(ini.ReadInteger("S", "none", 7), 7);
    EXPECT_EQ(ini.ReadString("S", "none", "d"), "d");
}

TEST_F(IniMemFile, TypedValuesAndTheirText) {
    {
        TMemIniFileEx ini = Fresh();
        ini.WriteBool("S", "b", true);
        ini.WriteInteger("S", "i", -42);
        ini.WriteFloat("S", "f", 0.1 + 0.2);
        ini.WriteDateTime("S", "d", 1.5);
        ini.WriteDateTime("S", "z", 0.0);
        ini.WriteDateTime("S", "neg", -45000.25);
        ini.UpdateFile();
    }
    EXPECT_EQ(Get(),
              "[S]\r\nb=TRUE\r\ni=-42\r\nf=\"0.30000000000000004\"\r\nd=0x3FF8000000000000\r\nz=0x00000000\r\n"
              "neg=0xC0E5F90800000000\r\n");
    TMemIniFileEx ini = Fresh();
    EXPECT_TRUE(ini.ReadBool("S", "b"));
    EXPECT_EQ(ini.ReadInteger("S", "i"), -42);
    EXPECT_EQ(ini.ReadFloat("S", "f"), 0.1 + 0.2);
    EXPECT_EQ(ini.ReadDateTime("S", "d"), 1.5);
    EXPECT_EQ(ini.ReadDateTime("S", "z"), 0.0);
    EXPECT_EQ(ini.ReadDateTime("S", "neg"), -45000.25);
    EXPECT_EQ(ini.ReadDateTime("S", "none", 2.0), 2.0);
}

TEST_F(IniMemFile, HandWrittenValuesInOtherSpellings) {
    Put("[S]\nb1=true\nb2=False\ni=0x10\nq=\"8998\"\nf=2.5E3\n");
    TMemIniFileEx ini = Fresh();
    EXPECT_TRUE(ini.ReadBool("S", "b1"));
    EXPECT_FALSE(ini.ReadBool("S", "b2"));
    EXPECT_EQ(ini.ReadInteger("S", "i"), 16);
    EXPECT_EQ(ini.ReadInteger("S", "q"), 8998);
    EXPECT_EQ(ini.ReadFloat("S", "f"), 2500.0);
}

TEST_F(IniMemFile, SectionListFollowsNewSections) {
    Put("[A]\n[B]\n[a]\n");
    TMemIniFileEx ini = Fresh();
    EXPECT_EQ(ini.SectionCount(), 2);
    ini.WriteString("C", "k", "v");
    EXPECT_EQ(ini.SectionCount(), 3);
    EXPECT_EQ(ini.GetSectionList(), (System::Inifiles::TStrings{"A", "B", "C"}));
    ini.EraseSection("B");
    EXPECT_EQ(ini.GetSectionList(), (System::Inifiles::TStrings{"A", "C"}));
}

} // namespace
