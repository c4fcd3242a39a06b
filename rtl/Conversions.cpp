#include "rtl/Conversions.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "rtl/Exception.h"

namespace System::Sysutils {

namespace {

bool IsBlank(char16_t c) { return c >= 1 && c <= 32; }

// Parses the runtime's integer syntax into the bit pattern of `bits` width.
bool ParseInteger(const std::u16string& s, int bits, std::int64_t& out) {
    std::size_t i = 0, n = s.size();
    while (i < n && IsBlank(s[i])) ++i;
    bool neg = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) { neg = s[i] == u'-'; ++i; }
    bool hex = false;
    if (i < n && s[i] == u'$') { hex = true; ++i; }
    else if (i + 1 < n && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) { hex = true; i += 2; }
    else if (i < n && (s[i] == u'x' || s[i] == u'X')) { hex = true; ++i; }
    if (i >= n) return false;
    const std::uint64_t mask = bits == 64 ? ~0ull : ((1ull << bits) - 1);
    std::uint64_t v = 0;
    for (; i < n; ++i) {
        char16_t c = s[i];
        unsigned d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (hex && c >= u'a' && c <= u'f') d = c - u'a' + 10;
        else if (hex && c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else return false;
        if (hex) {
            if (v > (mask >> 4)) return false;
            v = (v << 4) | d;
        } else {
            // Magnitude limit: the most negative value has one more.
            const std::uint64_t limit = (mask >> 1) + (neg ? 1 : 0);
            if (v > (limit - d) / 10) return false;
            v = v * 10 + d;
        }
    }
    if (hex) {
        // The whole width is a bit pattern; sign-extend from `bits`.
        if (bits < 64 && (v >> (bits - 1)) & 1) v |= ~mask;
        std::int64_t r = static_cast<std::int64_t>(v);
        out = neg ? static_cast<std::int64_t>(0ull - static_cast<std::uint64_t>(r)) : r;
        if (bits < 64) out = static_cast<std::int64_t>(static_cast<std::int32_t>(out));
        return true;
    }
    out = neg ? static_cast<std::int64_t>(0ull - v) : static_cast<std::int64_t>(v);
    return true;
}

[[noreturn]] void InvalidInteger(const UnicodeString& s) {
    throw EConvertError("'" + s + "' is not a valid integer value");
}

struct Digits {
    bool negative = false;
    std::string digits; // significant digits, no trailing zeros, at least "0"
    int exponent = 0;   // value = d.ddd x 10^exponent
};

// Splits to_chars' scientific output ("-1.2345e+05") into digits and exponent.
Digits Decompose(double v, int precision /* 0 = shortest */) {
    char buf[64];
    std::to_chars_result r = precision > 0
        ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision - 1)
        : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string s(buf, r.ptr);
    Digits d;
    std::size_t i = 0;
    if (s[i] == '-') { d.negative = true; ++i; }
    std::size_t e = s.find('e');
    for (std::size_t k = i; k < e; ++k)
        if (s[k] != '.') d.digits += s[k];
    d.exponent = std::atoi(s.c_str() + e + 1);
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    if (d.digits == "0") { d.exponent = 0; d.negative = false; }
    return d;
}

std::string General(const Digits& d, int precision) {
    std::string out = d.negative ? "-" : "";
    const int pointPos = d.exponent + 1; // digits before the decimal point
    const int len = static_cast<int>(d.digits.size());
    if (pointPos > precision || pointPos < -3) {
        out += d.digits[0];
        if (len > 1) { out += '.'; out.append(d.digits, 1, std::string::npos); }
        out += 'E';
        if (d.exponent < 0) out += '-';
        out += std::to_string(std::abs(d.exponent));
    } else if (pointPos <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-pointPos), '0');
        out += d.digits;
    } else if (pointPos >= len) {
        out += d.digits;
        out.append(static_cast<std::size_t>(pointPos - len), '0');
    } else {
        out.append(d.digits, 0, static_cast<std::size_t>(pointPos));
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(pointPos), std::string::npos);
    }
    return out;
}

const char* NonFinite(double v) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
    return nullptr;
}

bool EqualsAscii(std::u16string_view a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (UpCaseChar(a[i]) != static_cast<char16_t>(b[i])) return false;
    return true;
}

} // namespace

UnicodeString IntToStr(int value) { return UnicodeString(std::to_string(value)); }
UnicodeString IntToStr(std::int64_t value) { return UnicodeString(std::to_string(value)); }

UnicodeString IntToHex(std::uint64_t value, int digits) {
    static const char* kHex = "0123456789ABCDEF";
    std::string s;
    do { s.insert(s.begin(), kHex[value & 15]); value >>= 4; } while (value);
    if (static_cast<int>(s.size()) < digits) s.insert(0, static_cast<std::size_t>(digits) - s.size(), '0');
    return UnicodeString(s);
}

bool TryStrToInt(const UnicodeString& s, int& value) {
    std::int64_t v;
    if (!ParseInteger(s.u16(), 32, v)) return false;
    value = static_cast<int>(v);
    return true;
}

int StrToInt(const UnicodeString& s) {
    int v;
    if (!TryStrToInt(s, v)) InvalidInteger(s);
    return v;
}

int StrToIntDef(const UnicodeString& s, int def) {
    int v;
    return TryStrToInt(s, v) ? v : def;
}

bool TryStrToInt64(const UnicodeString& s, std::int64_t& value) { return ParseInteger(s.u16(), 64, value); }

std::int64_t StrToInt64(const UnicodeString& s) {
    std::int64_t v;
    if (!TryStrToInt64(s, v)) InvalidInteger(s);
    return v;
}

UnicodeString FloatToStr(double value) {
    if (const char* nf = NonFinite(value)) return UnicodeString(nf);
    return UnicodeString(General(Decompose(value, 0), 15));
}

UnicodeString FloatToStrF(double value, TFloatFormat format, int precision, int digits) {
    if (const char* nf = NonFinite(value)) return UnicodeString(nf);
    if (precision < 1) precision = 1;
    if (precision > 17) precision = 17;
    if (digits < 0) digits = 0;
    switch (format) {
    case TFloatFormat::ffGeneral:
        return UnicodeString(General(Decompose(value, precision), precision));
    case TFloatFormat::ffExponent: {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, precision - 1);
        std::string s(buf, r.ptr);
        std::size_t e = s.find('e');
        std::string mant = s.substr(0, e);
        int ex = std::atoi(s.c_str() + e + 1);
        std::string exs = std::to_string(std::abs(ex));
        if (static_cast<int>(exs.size()) < digits) exs.insert(0, static_cast<std::size_t>(digits) - exs.size(), '0');
        return UnicodeString(mant + "E" + (ex < 0 ? "-" : "+") + exs);
    }
    case TFloatFormat::ffFixed:
    case TFloatFormat::ffNumber: {
        if (Decompose(value, precision).exponent + 1 > precision)
            return UnicodeString(General(Decompose(value, precision), precision));
        char buf[400];
        auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
        std::string s(buf, r.ptr);
        if (s == "-0" || (s.rfind("-0.", 0) == 0 && s.find_first_not_of("-0.") == std::string::npos))
            s.erase(0, 1); // no sign on a value that rounds to zero
        if (format == TFloatFormat::ffNumber) {
            std::size_t start = s[0] == '-' ? 1 : 0;
            std::size_t point = s.find('.');
            if (point == std::string::npos) point = s.size();
            for (std::size_t k = point; k > start + 3; k -= 3) s.insert(k - 3, 1, ',');
        }
        return UnicodeString(s);
    }
    }
    return UnicodeString(General(Decompose(value, precision), precision));
}

bool TryStrToFloat(const UnicodeString& s, double& value) {
    std::u16string_view v(s.u16());
    while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
    while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
    if (v.empty() || v.size() > 400) return false;
    if (EqualsAscii(v, "NAN")) { value = std::numeric_limits<double>::quiet_NaN(); return true; }
    if (EqualsAscii(v, "INF") || EqualsAscii(v, "+INF")) { value = std::numeric_limits<double>::infinity(); return true; }
    if (EqualsAscii(v, "-INF")) { value = -std::numeric_limits<double>::infinity(); return true; }
    std::string a;
    a.reserve(v.size());
    for (char16_t c : v) {
        // Only the characters of a decimal number; from_chars would accept
        // "inf"/"nan" spellings and hexadecimal otherwise.
        if (!((c >= u'0' && c <= u'9') || c == u'.' || c == u'e' || c == u'E' || c == u'+' || c == u'-'))
            return false;
        a += static_cast<char>(c);
    }
    std::size_t start = 0;
    if (a[0] == '+') {
        start = 1;
        if (a.size() == 1 || a[1] == '-' || a[1] == '+') return false;
    }
    double d;
    auto r = std::from_chars(a.data() + start, a.data() + a.size(), d, std::chars_format::general);
    // Out of range is an error too: a value that cannot be held is not
    // silently turned into infinity or zero.
    if (r.ec != std::errc() || r.ptr != a.data() + a.size()) return false;
    value = d;
    return true;
}

double StrToFloat(const UnicodeString& s) {
    double v;
    if (!TryStrToFloat(s, v)) throw EConvertError("'" + s + "' is not a valid floating point value");
    return v;
}

} // namespace System::Sysutils
