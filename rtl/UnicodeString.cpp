#include "rtl/UnicodeString.h"

#include <cwctype>
#include <ostream>

namespace System {

namespace {
constexpr char16_t kReplacement = 0xFFFD;
} // namespace

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement; // lone surrogate
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view s, InvalidUtf8 invalid) {
    const bool escape = invalid == InvalidUtf8::Escape;
    std::u16string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        char32_t cp;
        int extra;
        if (b < 0x80) { out += static_cast<char16_t>(b); ++i; continue; }
        if ((b & 0xE0) == 0xC0) { cp = b & 0x1F; extra = 1; }
        else if ((b & 0xF0) == 0xE0) { cp = b & 0x0F; extra = 2; }
        else if ((b & 0xF8) == 0xF0) { cp = b & 0x07; extra = 3; }
        else { out += escape ? static_cast<char16_t>(0xDC00 + b) : kReplacement; ++i; continue; }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Reject overlong forms, surrogates and values past Unicode.
        static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += escape ? static_cast<char16_t>(0xDC00 + b) : kReplacement; ++i; continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

UnicodeString::UnicodeString(const char* utf8) : s_(utf8 ? Utf8ToUtf16(utf8) : std::u16string()) {}
UnicodeString::UnicodeString(const std::string& utf8) : s_(Utf8ToUtf16(utf8)) {}
UnicodeString::UnicodeString(std::string_view utf8) : s_(Utf8ToUtf16(utf8)) {}
UnicodeString UnicodeString::FromUtf8(std::string_view utf8) { return UnicodeString(utf8); }

std::string UnicodeString::ToUtf8() const { return Utf16ToUtf8(s_); }

UnicodeString UnicodeString::SubString(int start, int count) const {
    if (start < 0) { count += start; start = 0; }
    if (count <= 0 || start >= Length()) return {};
    return UnicodeString(s_.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(count)));
}

int UnicodeString::Pos(const UnicodeString& what) const {
    auto p = s_.find(what.s_);
    return p == std::u16string::npos ? -1 : static_cast<int>(p);
}

UnicodeString UnicodeString::Trim() const {
    std::size_t b = 0, e = s_.size();
    while (b < e && s_[b] <= u' ') ++b;
    while (e > b && s_[e - 1] <= u' ') --e;
    return UnicodeString(s_.substr(b, e - b));
}

char16_t UpCaseChar(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    auto u = std::towupper(static_cast<wint_t>(c));
    return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

char16_t LowCaseChar(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF) return c;
    auto l = std::towlower(static_cast<wint_t>(c));
    return l <= 0xFFFF ? static_cast<char16_t>(l) : c;
}

UnicodeString UnicodeString::UpperCase() const {
    std::u16string r(s_);
    for (auto& c : r) c = UpCaseChar(c);
    return UnicodeString(std::move(r));
}

UnicodeString UnicodeString::LowerCase() const {
    std::u16string r(s_);
    for (auto& c : r) c = LowCaseChar(c);
    return UnicodeString(std::move(r));
}

int CompareTextUnicode(const UnicodeString& a, const UnicodeString& b) {
    const auto n = std::min(a.Length(), b.Length());
    for (int i = 0; i < n; ++i) {
        char16_t x = UpCaseChar(a[i]), y = UpCaseChar(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.Length() == b.Length() ? 0 : (a.Length() < b.Length() ? -1 : 1);
}

} // namespace System

std::ostream& operator<<(std::ostream& os, const System::UnicodeString& s) { return os << s.ToUtf8(); }
