// UTF-16 string of the runtime. Value semantics over std::u16string: copies
// are cheap enough for the library's uses (messages, names, settings) and
// never share mutable state between threads. Indexing is 0-based.
#pragma once
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace System {

class UnicodeString {
public:
    UnicodeString() = default;
    UnicodeString(const char* utf8);
    UnicodeString(const std::string& utf8);
    UnicodeString(std::string_view utf8);
    UnicodeString(const char16_t* s) : s_(s ? s : u"") {}
    UnicodeString(std::u16string s) : s_(std::move(s)) {}
    UnicodeString(const char16_t* s, std::size_t n) : s_(s, n) {}

    static UnicodeString FromUtf8(std::string_view utf8);

    int Length() const { return static_cast<int>(s_.size()); }
    bool IsEmpty() const { return s_.empty(); }
    const char16_t* c_str() const { return s_.c_str(); }
    const char16_t* data() const { return s_.data(); }
    char16_t operator[](std::size_t i) const { return s_[i]; }
    char16_t& operator[](std::size_t i) { return s_[i]; }

    const std::u16string& u16() const { return s_; }
    std::u16string& u16() { return s_; }
    std::string ToUtf8() const;

    // 0-based start; count clipped to the end.
    UnicodeString SubString(int start, int count) const;
    // 0-based index of the first occurrence, or -1.
    int Pos(const UnicodeString& what) const;
    UnicodeString Trim() const;
    UnicodeString UpperCase() const;
    UnicodeString LowerCase() const;

    UnicodeString& operator+=(const UnicodeString& o) { s_ += o.s_; return *this; }
    UnicodeString& operator+=(char16_t c) { s_ += c; return *this; }
    friend UnicodeString operator+(UnicodeString a, const UnicodeString& b) { a.s_ += b.s_; return a; }
    friend UnicodeString operator+(UnicodeString a, const char* b) { return a += UnicodeString(b); }
    friend UnicodeString operator+(const char* a, const UnicodeString& b) { return UnicodeString(a) += b; }
    friend bool operator==(const UnicodeString& a, const UnicodeString& b) { return a.s_ == b.s_; }
    friend bool operator==(const UnicodeString& a, const char* b) { return a == UnicodeString(b); }
    friend std::strong_ordering operator<=>(const UnicodeString& a, const UnicodeString& b) { return a.s_ <=> b.s_; }

private:
    std::u16string s_;
};

std::string Utf16ToUtf8(std::u16string_view s);
// Appends one code point (up to U+10FFFF; surrogates as their three bytes).
void AppendUtf8(std::string& out, char32_t cp);
// A byte that is not valid UTF-8 becomes U+FFFD, or (Escape) the code unit
// 0xDC00 + byte, so that it can be written back unchanged.
enum class InvalidUtf8 { Replace, Escape };
std::u16string Utf8ToUtf16(std::string_view s, InvalidUtf8 invalid = InvalidUtf8::Replace);

// Upper and lower case of one UTF-16 code unit (locale-independent, BMP).
char16_t UpCaseChar(char16_t c);
char16_t LowCaseChar(char16_t c);

// Locale-aware, case-insensitive comparison; 0 when equal.
int CompareTextUnicode(const UnicodeString& a, const UnicodeString& b);

} // namespace System

using System::UnicodeString;

// Printing for test diagnostics.
#include <iosfwd>
std::ostream& operator<<(std::ostream& os, const System::UnicodeString& s);
