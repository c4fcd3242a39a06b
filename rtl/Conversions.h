// Number <-> text conversions of the runtime. They never consult the C
// locale: the decimal separator is always '.', so a settings file written
// on one machine reads the same on every other.
#pragma once
#include <cstdint>

#include "rtl/UnicodeString.h"

namespace System::Sysutils {

UnicodeString IntToStr(int value);
UnicodeString IntToStr(std::int64_t value);
// Upper-case hexadecimal, zero-padded to at least `digits` digits.
UnicodeString IntToHex(std::uint64_t value, int digits);

// Decimal with an optional sign, or hexadecimal after "$", "0x" or "x"
// (hexadecimal may use the whole bit width, so "$FFFFFFFF" is -1).
// Leading blanks are allowed, trailing characters are not. Failures throw
// EConvertError "'<text>' is not a valid integer value".
int StrToInt(const UnicodeString& s);
bool TryStrToInt(const UnicodeString& s, int& value);
int StrToIntDef(const UnicodeString& s, int def);
std::int64_t StrToInt64(const UnicodeString& s);
bool TryStrToInt64(const UnicodeString& s, std::int64_t& value);

enum class TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber };

// Shortest text that reads back as the same double: "0.1", "1E20",
// "1.5E-7", "NAN", "INF", "-INF".
UnicodeString FloatToStr(double value);
// precision: significant digits (1..17); digits: decimals for ffFixed and
// ffNumber, minimum exponent digits for ffExponent.
UnicodeString FloatToStrF(double value, TFloatFormat format, int precision, int digits);
// Blanks around the number are allowed; "INF", "-INF" and "NAN" read back.
// Failures throw EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(const UnicodeString& s);
bool TryStrToFloat(const UnicodeString& s, double& value);

} // namespace System::Sysutils
