// The ini engine against real files: how lines are read, found, written
// back and replaced.
#include <gtest/gtest.h>

#include "tests/support_files.h"
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/Exceptions.h"
#include "core/Fastinifile.h"
#include "core/MemIniFileEx.h"

namespace {

namespace fs = std::filesystem;
using Fastinifile::TFastIniFile;

using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

class IniEngine : public ::testing::Test {
protected:
    // A file with the given content and an engine on it.
    TFastIniFile& Open(const std::string& content) {
        path_ = dir_.file("settings.config");
        WriteBytes(path_, content);
        ini_ = std::make_unique<TFastIniFile>(UnicodeString(path_));
        return *ini_;
    }
    std::string Written() {
        ini_->UpdateFile();
        return ReadBytes(path_);
    }
    TempDir dir_;
    std::string path_;
    std::unique_ptr<TFastIniFile> ini_;
};

struct LookupCase {
    const char* what;
    const char* text;
    const char* section;
    const char* ident;
    const char* expected; // "<default>" when the entry must not be found
};

class IniLookup : public IniEngine, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(IniLookup, FindsWhatAPersonWouldExpect) {
    const LookupCase& c = GetParam();
    TFastIniFile& ini = Open(c.text);
    EXPECT_EQ(ini.ReadString(c.section, c.ident, "<default>"), UnicodeString(c.expected)) << c.what;
    EXPECT_EQ(ini.ValueExists(c.section, c.ident), std::string(c.expected) != "<default>") << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IniLookup,
    ::testing::Values(
        LookupCase{"blanks around name, = and value", "[S]\n  key  =   some value  \n", "S", "key", "some value"},
        LookupCase{"tab before the name", "[S]\n\tkey\t=v\n", "S", "key", "v"},
        LookupCase{"names ignore case", "[S]\nKey=v\n", "S", "kEY", "v"},
        LookupCase{"section names ignore case", "[sEcT]\nk=v\n", "Sect", "k", "v"},
        LookupCase{"lookup name is trimmed", "[S]\nk=v\n", "S", " k ", "v"},
        LookupCase{"section name exactly as written", "[ S ]\nk=v\n", "S", "k", "<default>"},
        LookupCase{"section name with its blanks", "[ S ]\nk=v\n", " S ", "k", "v"},
        LookupCase{"header after a blank is a text line", "[A]\nk=a\n [B]\nj=b\n", "A", "j", "b"},
        LookupCase{"so that section does not exist", "[A]\nk=a\n [B]\nj=b\n", "B", "j", "<default>"},
        LookupCase{"duplicated header: the last counts", "[S]\nk=first\n[S]\nk=second\n", "S", "k", "second"},
        LookupCase{"entries of the earlier one are gone", "[S]\nonly=1\n[T]\n[S]\nk=2\n", "S", "only", "<default>"},
        LookupCase{"lines before the first header", "k=v\n[S]\n", "S", "k", "<default>"},
        LookupCase{"comment line", "[S]\n;k=v\n", "S", "k", "<default>"},
        LookupCase{"text without =", "[S]\nk\n", "S", "k", "<default>"},
        LookupCase{"first of two in scan mode", "[S]\nk=1\nK=2\n", "S", "k", "1"},
        LookupCase{"inline comment", "[S]\nk=v   ; note\n", "S", "k", "v"},
        LookupCase{"; inside quotes", "[S]\nk=\"a;b\" ; note\n", "S", "k", "a;b"},
        LookupCase{"single quotes", "[S]\nk='x y'\n", "S", "k", "x y"},
        LookupCase{"unpaired quotes stay", "[S]\nk=\"x'\n", "S", "k", "\"x'"},
        LookupCase{"= in the value", "[S]\nk=a=b\n", "S", "k", "a=b"},
        LookupCase{"empty value exists", "[S]\nk=\n", "S", "k", ""},
        LookupCase{"empty section name", "[]\nk=v\n", "", "k", "v"},
        LookupCase{"no break after the last line", "[S]\nk=v", "S", "k", "v"},
        LookupCase{"lone [ is a text line", "[\nk=v\n", "", "k", "<default>"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

struct LineEndCase {
    const char* what;
    const char* text;
};

class IniLineEnds : public IniEngine, public ::testing::WithParamInterface<LineEndCase> {};

TEST_P(IniLineEnds, ReadThenWrittenWithCrLf) {
    TFastIniFile& ini = Open(GetParam().text);
    EXPECT_EQ(ini.ReadString("S", "a", ""), "1");
    EXPECT_EQ(ini.ReadString("S", "b", ""), "2");
    EXPECT_EQ(ini.BlankCount(), 1) << "only the blank line in the middle";
    ini.WriteString("S", "b", "3");
    EXPECT_EQ(Written(), "[S]\r\na=1\r\n\r\nb=3\r\n");
}

INSTANTIATE_TEST_SUITE_P(Breaks, IniLineEnds,
                         ::testing::Values(LineEndCase{"LF", "[S]\na=1\n\nb=2\n"},
                                           LineEndCase{"CRLF", "[S]\r\na=1\r\n\r\nb=2\r\n"},
                                           LineEndCase{"CR", "[S]\ra=1\r\rb=2\r"},
                                           LineEndCase{"mixed, no final break", "[S]\r\na=1\n\rb=2"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(IniEngine, UntouchedFileIsNotRewritten) {
    const std::string text = "[S]\n  k = v  \n;c\n";
    TFastIniFile& ini = Open(text);
    EXPECT_EQ(ini.ReadString("S", "k", ""), "v");
    ini.WriteString("S", "k", "v"); // same value
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(Written(), text);
}

TEST_F(IniEngine, OnlyLinesALookupPassedOverAreNormalised) {
    TFastIniFile& ini = Open("[S]\n  a = 1  \n  b = 2  \n");
    EXPECT_EQ(ini.ReadString("S", "a", ""), "1");
    ini.WriteString("T", "x", "1");
    EXPECT_EQ(Written(), "[S]\r\na=1\r\n  b = 2  \r\n\r\n[T]\r\nx=1\r\n");
}

TEST_F(IniEngine, NormalisingNeverTurnsAnEntryIntoAHeaderOrComment) {
    TFastIniFile& ini = Open("[S]\n  [x=y]\n\t;c=d\nk=1\n");
    ini.WriteString("S", "k", "2");
    EXPECT_EQ(Written(), "[S]\r\n [x=y]\r\n ;c=d\r\nk=2\r\n");
    TFastIniFile again{UnicodeString(path_)};
    EXPECT_EQ(again.ReadString("S", "k", ""), "2");
    EXPECT_EQ(again.ReadString("S", "[x", ""), "y]");
    EXPECT_TRUE(again.ValueExists("S", ";c"));
}

struct AppendCase {
    const char* what;
    const char* text;
    const char* section;
    const char* expected;
};

class IniAppend : public IniEngine, public ::testing::WithParamInterface<AppendCase> {};

TEST_P(IniAppend, NewEntriesGoWhereTheyBelong) {
    Open(GetParam().text).WriteString(GetParam().section, "y", "2");
    EXPECT_EQ(Written(), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Places, IniAppend,
    ::testing::Values(
        AppendCase{"new section after an empty line", "[A]\nx=1\n", "B", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        AppendCase{"no second empty line", "[A]\nx=1\n\n", "B", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        AppendCase{"empty file", "", "B", "[B]\r\ny=2\r\n"},
        AppendCase{"after the last entry or text line, before comments",
                   "[A]\nx=1\nfoo\n;c\n\n[B]\n", "A", "[A]\r\nx=1\r\nfoo\r\ny=2\r\n;c\r\n\r\n[B]\r\n"},
        AppendCase{"directly after a header without entries", "[A]\n;c\n[B]\n", "A", "[A]\r\ny=2\r\n;c\r\n[B]\r\n"},
        AppendCase{"into the last of duplicated sections", "[A]\nx=1\n[A]\nz=3\n", "A",
                   "[A]\r\nx=1\r\n[A]\r\nz=3\r\ny=2\r\n"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(IniEngine, EntryNamesAreTrimmedWhenAdded) {
    TFastIniFile& ini = Open("[S]\n");
    ini.WriteString("S", "  k  ", "1");
    ini.WriteString("S", "k", "2");
    EXPECT_EQ(Written(), "[S]\r\nk=2\r\n");
}

struct CommentCase {
    const char* what;
    const char* newValue;
    const char* expectedLine;
};

class IniInlineComment : public IniEngine, public ::testing::WithParamInterface<CommentCase> {};

TEST_P(IniInlineComment, StaysAtItsColumnWhenThereIsRoom) {
    TFastIniFile& ini = Open("[S]\nk=8998    ; the port\n");
    ini.WriteString("S", "k", GetParam().newValue);
    EXPECT_EQ(ini.ReadString("S", "k", ""), UnicodeString(GetParam().newValue));
    EXPECT_EQ(Written(), std::string("[S]\r\n") + GetParam().expectedLine + "\r\n") << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(Values, IniInlineComment,
                         ::testing::Values(CommentCase{"shorter", "80", "k=80      ; the port"},
                                           CommentCase{"just too long for the column", "1234567", "k=1234567 ; the port"},
                                           CommentCase{"longer", "123456789012", "k=123456789012 ; the port"},
                                           CommentCase{"empty", "", "k=        ; the port"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(IniEngine, SameValueBesideACommentIsNoChange) {
    TFastIniFile& ini = Open("[S]\nk=8998    ; the port\n");
    ini.WriteString("S", "k", "8998");
    EXPECT_FALSE(ini.Modified());
}

TEST_F(IniEngine, LongCommentsAreKeptWhole) {
    const std::string comment = "; " + std::string(300, 'c');
    TFastIniFile& ini = Open("[S]\nk=1 " + comment + "\n");
    ini.WriteString("S", "k", "2");
    EXPECT_EQ(Written(), "[S]\r\nk=2 " + comment + "\r\n");
}

TEST_F(IniEngine, TextThatWouldReadBackAsAnotherLineIsRefused) {
    TFastIniFile& ini = Open("[S]\nk=1\n");
    for (const char* name : {"", "  ", "a=b", ";a", "[a", "a\nb", "a\rb"})
        EXPECT_THROW(ini.WriteString("S", name, "v"), System::EArgument) << "name '" << name << "'";
    EXPECT_THROW(ini.WriteString("S", "k", "two\nlines"), System::EArgument);
    EXPECT_THROW(ini.WriteString("S\nT", "k", "v"), System::EArgument);
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(ini.ReadString("S", "k", ""), "1");
}

TEST_F(IniEngine, DeleteKeyRemovesEveryOccurrenceInTheSection) {
    TFastIniFile& ini = Open("[S]\nk=1\nother=x\nK=2\n[T]\nk=3\n");
    ini.DeleteKey("S", "k");
    EXPECT_FALSE(ini.ValueExists("S", "k"));
    EXPECT_EQ(ini.ReadString("T", "k", ""), "3");
    EXPECT_EQ(Written(), "[S]\r\nother=x\r\n[T]\r\nk=3\r\n");
}

TEST_F(IniEngine, SectionsAreListedOnceInFileOrder) {
    TFastIniFile& ini = Open("[A]\n[b]\n[a]\n[C\\x]\n[C\\y]\n");
    System::Inifiles::TStrings s;
    ini.ReadSections(s);
    EXPECT_EQ(s, (System::Inifiles::TStrings{"A", "b", "C\\x", "C\\y"}));
    ini.ReadSections("c", s);
    EXPECT_EQ(s, (System::Inifiles::TStrings{"C\\x", "C\\y"}));
    EXPECT_TRUE(ini.SectionExists("B"));
    EXPECT_FALSE(ini.SectionExists("C"));
}

TEST_F(IniEngine, EraseSectionRemovesEveryOccurrence) {
    TFastIniFile& ini = Open("[A]\nx=1\n[B]\ny=2\n[a]\nz=3\n");
    ini.EraseSection("A");
    EXPECT_FALSE(ini.SectionExists("A"));
    EXPECT_EQ(ini.ReadString("B", "y", ""), "2");
    EXPECT_EQ(Written(), "[B]\r\ny=2\r\n");
}

// ---- hashed mode -------------------------------------------------------------

std::string BigSection(int textLines) {
    std::string s = "[S]\ndup=first\n";
    for (int i = 0; i < textLines - 2; ++i) s += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    s += "dup=last\n";
    return s;
}

TEST_F(IniEngine, DuplicateNameUsesFirstUpTo249LinesPerSectionAndLastAbove) {
    struct {
        int lines;
        bool hashed;
        const char* dup;
    } cases[] = {{249, false, "first"}, {250, true, "last"}};
    for (const auto& c : cases) {
        TFastIniFile& ini = Open(BigSection(c.lines));
        EXPECT_EQ(ini.HashedMode(), c.hashed) << c.lines;
        EXPECT_EQ(ini.ReadString("S", "dup", ""), c.dup) << c.lines;
        EXPECT_EQ(ini.ReadString("S", "key100", ""), "100") << c.lines;
    }
}

TEST_F(IniEngine, AverageOverSectionsDecidesHashedMode) {
    // 2 sections, 500 text lines: 250 on average although one holds 498.
    std::string s = "[A]\na=1\nb=2\n[B]\n";
    for (int i = 0; i < 498; ++i) s += "k" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    EXPECT_TRUE(Open(s).HashedMode());
}

TEST_F(IniEngine, HashedModeWritesAndDeletesStayConsistent) {
    TFastIniFile& ini = Open(BigSection(600) + "[T]\nt=1\n"); // 601 text lines, 2 sections
    ASSERT_TRUE(ini.HashedMode());
    EXPECT_EQ(ini.ReadString("S", "dup", ""), "last");
    ini.WriteString("S", "dup", "changed");
    ini.WriteString("S", "fresh", "new");
    ini.WriteString("S", "key5", "five");
    EXPECT_EQ(ini.ReadString("S", "fresh", ""), "new");
    EXPECT_EQ(ini.ReadString("S", "key5", ""), "five");
    EXPECT_EQ(ini.ReadString("S", "dup", ""), "changed");
    EXPECT_EQ(ini.ReadString("T", "t", ""), "1");
    ini.DeleteKey("S", "dup");
    EXPECT_FALSE(ini.ValueExists("S", "dup"));
    EXPECT_EQ(ini.ReadString("S", "key597", ""), "597");
    ini.UpdateFile();

    TFastIniFile again{UnicodeString(path_)};
    EXPECT_FALSE(again.ValueExists("S", "dup"));
    EXPECT_EQ(again.ReadString("S", "fresh", ""), "new");
    EXPECT_EQ(again.ReadString("S", "key5", ""), "five");
    EXPECT_EQ(again.ReadString("T", "t", ""), "1");
}

// ---- encodings --------------------------------------------------------------

struct EncodingCase {
    const char* what;
    std::string bytes;
    Fastinifile::TTextEncoding encoding;
    std::string expectedAfterWrite;
};

class IniEncoding : public IniEngine, public ::testing::WithParamInterface<EncodingCase> {};

TEST_P(IniEncoding, NonAsciiReadsAndTheEncodingIsKept) {
    const EncodingCase& c = GetParam();
    TFastIniFile& ini = Open(c.bytes);
    EXPECT_EQ(ini.ReadString("S", "city", ""), UnicodeString(u"Z\u00fcrich \u6771\u4eac")) << c.what;
    EXPECT_EQ(ini.Encoding(), c.encoding);
    ini.WriteString("S", "n", "2");
    EXPECT_EQ(Written(), c.expectedAfterWrite) << c.what;
}

std::string Utf16(const std::u16string& s, bool le) {
    std::string out = le ? "\xFF\xFE" : "\xFE\xFF";
    for (char16_t c : s) {
        char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
        out += le ? lo : hi;
        out += le ? hi : lo;
    }
    return out;
}

const std::string kCity = "Z\xC3\xBCrich \xE6\x9D\xB1\xE4\xBA\xAC";
INSTANTIATE_TEST_SUITE_P(
    Files, IniEncoding,
    ::testing::Values(
        EncodingCase{"UTF-8", "[S]\ncity=" + kCity + "\nn=1\n", Fastinifile::TTextEncoding::Utf8,
                     "[S]\r\ncity=" + kCity + "\r\nn=2\r\n"},
        EncodingCase{"UTF-8 with BOM", "\xEF\xBB\xBF[S]\ncity=" + kCity + "\nn=1\n", Fastinifile::TTextEncoding::Utf8Bom,
                     "\xEF\xBB\xBF[S]\r\ncity=" + kCity + "\r\nn=2\r\n"},
        EncodingCase{"UTF-16 LE", Utf16(u"[S]\ncity=Z\u00fcrich \u6771\u4eac\nn=1\n", true),
                     Fastinifile::TTextEncoding::Utf16LE,
                     Utf16(u"[S]\r\ncity=Z\u00fcrich \u6771\u4eac\r\nn=2\r\n", true)},
        EncodingCase{"UTF-16 BE", Utf16(u"[S]\ncity=Z\u00fcrich \u6771\u4eac\nn=1\n", false),
                     Fastinifile::TTextEncoding::Utf16BE,
                     Utf16(u"[S]\r\ncity=Z\u00fcrich \u6771\u4eac\r\nn=2\r\n", false)}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(IniEngine, BytesThatAreNotUtf8SurviveAWriteBack) {
    // A file saved by an editor in Latin-1: its lines must come back as
    // they were, not as replacement characters.
    const std::string text = "; caf\xE9\r\n[S]\r\nname=Jos\xE9 \xFF\xFE\r\nn=1\r\n";
    TFastIniFile& ini = Open(text);
    EXPECT_EQ(ini.ReadString("S", "n", ""), "1");
    (void)ini.ReadString("S", "name", "");
    ini.WriteString("S", "n", "2");
    EXPECT_EQ(Written(), "; caf\xE9\r\n[S]\r\nname=Jos\xE9 \xFF\xFE\r\nn=2\r\n");
}

TEST_F(IniEngine, TextThatStartsLikeAByteOrderMarkKeepsItsMeaning) {
    // An odd length keeps this from being read as UTF-16; after the
    // write-back the length would be even.
    TFastIniFile& ini = Open("\xFF\xFE[S]\nk=v\n\n");
    EXPECT_EQ(ini.Encoding(), Fastinifile::TTextEncoding::Utf8);
    ini.WriteString("T", "x", "1");
    EXPECT_EQ(Written(), "\xEF\xBB\xBF\xFF\xFE[S]\r\nk=v\r\n\r\n[T]\r\nx=1\r\n");
    TFastIniFile again{UnicodeString(path_)};
    EXPECT_EQ(again.ReadString("T", "x", ""), "1");
}

// ---- writing the file -------------------------------------------------------

TEST_F(IniEngine, FailedWriteLeavesTheOriginalWhole) {
    const std::string text = "; keep me\n[S]\nk=1\n" + std::string(4000, '#') + "\n";
    TFastIniFile& ini = Open(text);
    ini.WriteString("S", "k", "2");

    // The file size limit makes the write fail part-way, as a full disk would.
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        ini.UpdateFile();
    } catch (const Sysutils::EInOutError& e) {
        threw = true;
        EXPECT_NE(e.Message().ToUtf8().find("Cannot create file \"" + path_ + "\""), std::string::npos) << e.Message().ToUtf8();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(threw);
    EXPECT_EQ(ReadBytes(path_), text);
    EXPECT_TRUE(ini.Modified()) << "the change is still pending";
    int files = 0;
    for (auto& e : fs::directory_iterator(dir_.path())) { (void)e; ++files; }
    EXPECT_EQ(files, 1) << "no temporary file is left behind";

    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path_).substr(0, 24), "; keep me\r\n[S]\r\nk=2\r\n###");
}

TEST_F(IniEngine, RewriteKeepsModeAndSymbolicLink) {
    TFastIniFile& ini = Open("[S]\nk=1\n");
    ::chmod(path_.c_str(), 0640);
    const std::string link = dir_.file("link.config");
    ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
    TFastIniFile viaLink{UnicodeString(link)};
    viaLink.WriteString("S", "k", "2");
    viaLink.UpdateFile();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(path_), "[S]\r\nk=2\r\n");
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    (void)ini;
}

TEST_F(IniEngine, MissingFileIsEmptyAndCreatedOnlyWhenWritten) {
    const std::string path = dir_.file("new.config");
    TFastIniFile ini{UnicodeString(path)};
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "d");
    ini.UpdateFile();
    EXPECT_FALSE(fs::exists(path));
    ini.WriteString("S", "k", "v");
    ini.UpdateFile();
    EXPECT_EQ(ReadBytes(path), "[S]\r\nk=v\r\n");
}

TEST_F(IniEngine, UnreadableFileIsAnErrorNotAnEmptyFile) {
    // A folder in place of the file: reading it must fail, or the next
    // write would replace something that could not be read.
    const std::string path = dir_.file("folder.config");
    fs::create_directory(path);
    TFastIniFile ini{UnicodeString(path)};
    EXPECT_THROW(ini.ReadString("S", "k", ""), Sysutils::EInOutError);
    EXPECT_THROW(ini.WriteString("S", "k", "v"), Sysutils::EInOutError);
    EXPECT_FALSE(ini.Modified());
    EXPECT_TRUE(fs::is_directory(path));
}

TEST(IniHash, RotatesByTwoAndXorsTheUpperCase) {
    EXPECT_EQ(TFastIniFile::HashName(""), 0u);
    EXPECT_EQ(TFastIniFile::HashName("a"), 0x41u);
    EXPECT_EQ(TFastIniFile::HashName("ab"), (0x41u << 2) ^ 0x42u);
    EXPECT_EQ(TFastIniFile::HashName("Port"), TFastIniFile::HashName("pORT"));
}

} // namespace
