// The hashed in-memory ini engine. The whole file is read on first access
// and kept as one item per line, so that everything a person wrote by
// hand -- comments, blank lines, entries nobody reads, their order --
// survives a write-back. Text lines are split into name and value only
// when a lookup first passes over them. Sections are found through a
// 256-bucket hash table; files whose sections hold many lines on average
// also hash the entries of each section.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/IniFiles.h"

namespace Fastinifile {

using System::Inifiles::TStrings;

enum class TIniItemKind : std::uint8_t {
    Entry = 0,       // split text line: Name, Value, Hash
    OtherText = 1,   // text line without "="
    Unsplit = 2,     // text line not split yet
    Section = 3,     // "[name]"
    Comment = 4,     // starts with ";"
    Blank = 5,       // empty line
};

struct TIniItem {
    TIniItemKind Kind = TIniItemKind::Blank;
    std::uint32_t Hash = 0;  // of Name, for entries
    UnicodeString Name;      // entry name, or the whole line for other kinds
    UnicodeString Value;     // entries only: the text after "=", blanks trimmed
};
using TIniItems = std::vector<TIniItem>;

struct TSectionItem {
    UnicodeString Name;
    std::uint32_t Hash = 0;
    int Start = 0; // index of the first line after the header
    // Hashed mode only, built on first use: item indices relative to Start,
    // bucketed by the low byte of the entry's hash, in file order.
    std::unique_ptr<std::array<std::vector<int>, 256>> Entries;
};

class TSectionItems {
public:
    TSectionItem* Find(const UnicodeString& name, std::uint32_t hash, bool caseSensitive) const;
    // Registers a header found at load or appended; a later section of the
    // same name takes over the name.
    TSectionItem* Add(const UnicodeString& name, std::uint32_t hash, int start, bool caseSensitive);
    void Clear();
    // Items were inserted (delta 1) or removed (delta -1) at `index`.
    void Shift(int index, int delta);
    const std::vector<std::unique_ptr<TSectionItem>>& All() const { return all_; }

private:
    std::array<std::vector<TSectionItem*>, 256> buckets_;
    std::vector<std::unique_ptr<TSectionItem>> all_; // every header, file order
};

// How the file's bytes were encoded; a write-back keeps it.
enum class TTextEncoding : std::uint8_t { Utf8, Utf8Bom, Utf16LE, Utf16BE };

class TFastIniFile : public System::Inifiles::TCustomIniFile {
public:
    // Averages above this many text lines per section switch to hashed mode.
    static constexpr int kHashedModeThreshold = 249;

    explicit TFastIniFile(const UnicodeString& fileName);
    ~TFastIniFile() override;

    // h := rotl(h, 2) xor upcase(c) over the UTF-16 code units.
    static std::uint32_t HashName(const UnicodeString& name);

    UnicodeString ReadString(const UnicodeString& section, const UnicodeString& ident,
                             const UnicodeString& def) override;
    void WriteString(const UnicodeString& section, const UnicodeString& ident,
                     const UnicodeString& value) override;
    bool ValueExists(const UnicodeString& section, const UnicodeString& ident) override;
    bool SectionExists(const UnicodeString& section) override;
    void DeleteKey(const UnicodeString& section, const UnicodeString& ident) override;
    void EraseSection(const UnicodeString& section) override;
    using TCustomIniFile::ReadSections;
    void ReadSections(TStrings& strings) override;
    void ReadSection(const UnicodeString& section, TStrings& strings) override;
    void ReadSectionValues(const UnicodeString& section, TStrings& strings) override;
    // Writes the whole text when something changed: into a new file in the
    // same folder, then renamed over the old one, so that the old file
    // stays whole when writing fails. Throws EInOutError on failure and
    // stays modified.
    void UpdateFile() override;

    // Options, fixed before first use.
    bool InlineComments = true;
    bool StripQuotes = true;
    bool CaseSensitive = false;

    bool Loaded() const { return loaded_; }
    bool Modified() const { return modified_; }
    bool HashedMode();
    TTextEncoding Encoding();
    // Counts taken while loading.
    int TextLineCount();
    int SectionLineCount();
    int CommentCount();
    int BlankCount();
    // The whole text as it would be written, lines joined by CR LF.
    UnicodeString GetText();
    // Changes whenever a section is added or removed.
    unsigned SectionsVersion() const { return sectionsVersion_; }

protected:
    // The raw value of an entry (everything after "=", blanks trimmed,
    // comment included); false when the entry does not exist.
    bool FindRawValue(const UnicodeString& section, const UnicodeString& ident, UnicodeString& raw);
    // Position of the ";" that starts the value's inline comment, or -1. A
    // double quote toggles between inside and outside.
    virtual int InlineCommentStart(std::u16string_view value) const;
    // Writes `value` without any quoting; used by the typed writers.
    void WriteRaw(const UnicodeString& section, const UnicodeString& ident, const UnicodeString& value);
    void EnsureLoaded();

private:
    int FindEntry(TSectionItem* s, const UnicodeString& ident, std::uint32_t hash);
    TSectionItem* FindSection(const UnicodeString& name);
    int SectionEnd(const TSectionItem* s) const;
    void SplitLine(TIniItem& item) const;
    // The section's entries as names, or as name=value lines.
    void CollectEntries(const UnicodeString& section, TStrings& strings, bool withValues);
    void BuildEntryBuckets(TSectionItem* s);
    bool NamesEqual(const UnicodeString& a, const UnicodeString& b) const;
    void Insert(int index, TIniItem item);
    void RebuildSections();
    void Parse(const std::u16string& text);
    void RemoveEntries(TSectionItem* s, const UnicodeString& ident);

    bool loaded_ = false;
    bool modified_ = false;
    bool hashed_ = false;
    TTextEncoding encoding_ = TTextEncoding::Utf8;
    TIniItems items_;
    TSectionItems sections_;
    int textLines_ = 0, sectionLines_ = 0, comments_ = 0, blanks_ = 0;
    unsigned sectionsVersion_ = 0;
};

// Byte-exact text decoding: bytes that are not valid UTF-8 become the code
// units U+DC80..U+DCFF and are written back as the same bytes, so a file
// in another encoding loses nothing in the lines nobody changed.
std::u16string DecodeText(std::string_view bytes, TTextEncoding& encoding);
std::string EncodeText(std::u16string_view text, TTextEncoding encoding);

// The engine's notion of blanks: characters with codes 1 to 32.
inline bool IsBlank(char16_t c) { return c >= 1 && c <= 32; }
UnicodeString TrimBlanks(std::u16string_view s);

} // namespace Fastinifile
