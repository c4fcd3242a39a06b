// The number conversions behind the typed settings.
#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <limits>

#include "rtl/Conversions.h"
#include "rtl/Exception.h"

namespace {

using namespace System::Sysutils;

TEST(IniConversions, StrToInt) {
    struct {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"0", true, 0},
        {"-2147483648", true, INT32_MIN},
        {"2147483647", true, INT32_MAX},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"+5", true, 5},
        {"  12", true, 12},
        {"12 ", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"--1", false, 0},
        {"1e3", false, 0},
        {"$FFFFFFFF", true, -1},
        {"0x10", true, 16},
        {"x1f", true, 31},
        {"$100000000", false, 0},
        {"0x", false, 0},
        {"12abc", false, 0},
    };
    for (const auto& c : cases) {
        int v = 12345;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        } else {
            EXPECT_EQ(v, 12345) << "left alone on failure: " << c.text;
        }
    }
    try {
        StrToInt("abc");
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
    }
}

TEST(IniConversions, StrToInt64TakesWholeBitPatterns) {
    EXPECT_EQ(StrToInt64("0xC0E5F90800000000"), static_cast<std::int64_t>(0xC0E5F90800000000ull));
    EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
    EXPECT_THROW(StrToInt64("0x1FFFFFFFFFFFFFFFF"), EConvertError);
    EXPECT_EQ(IntToHex(0, 8), "00000000");
    EXPECT_EQ(IntToHex(0x3FF8000000000000ull, 8), "3FF8000000000000");
}

TEST(IniConversions, FloatToStrText) {
    struct {
        double value;
        const char* text;
    } cases[] = {
        {0.0, "0"},
        {1.5, "1.5"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {100.0, "100"},
        {0.0001, "0.0001"},
        {0.00001, "1E-5"},
        {1.5e-7, "1.5E-7"},
        {123456789012345.0, "123456789012345"},
        {1e15, "1E15"},
        {1e20, "1E20"},
        {0.1 + 0.2, "0.30000000000000004"},
        {std::numeric_limits<double>::quiet_NaN(), "NAN"},
        {std::numeric_limits<double>::infinity(), "INF"},
        {-std::numeric_limits<double>::infinity(), "-INF"},
    };
    for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.text;
}

TEST(IniConversions, FloatTextReadsBackAsTheSameDouble) {
    const double values[] = {1.0 / 3.0, 0.1 + 0.2, DBL_MAX, DBL_MIN, 5e-324, -1e-300, 123456.789, 2097152.0};
    for (double v : values) EXPECT_EQ(StrToFloat(FloatToStr(v)), v) << FloatToStr(v).ToUtf8();
    EXPECT_TRUE(std::isnan(StrToFloat("NAN")));
    EXPECT_EQ(StrToFloat("-inf"), -std::numeric_limits<double>::infinity());
}

TEST(IniConversions, StrToFloatSyntax) {
    struct {
        const char* text;
        bool ok;
        double value;
    } cases[] = {
        {" 2.5 ", true, 2.5}, {"+1e3", true, 1000.0}, {"-.5", true, -0.5}, {"3.", true, 3.0},
        {"1,5", false, 0},    {"", false, 0},         {"abc", false, 0},   {"1e400", false, 0},
        {"0x10", false, 0},   {"1 2", false, 0},      {"+-1", false, 0},   {"infinity", false, 0},
    };
    for (const auto& c : cases) {
        double v = -99;
        EXPECT_EQ(TryStrToFloat(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    try {
        StrToFloat("1,5");
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'1,5' is not a valid floating point value");
    }
}

TEST(IniConversions, IndependentOfTheCLocale) {
    // A toolkit may switch LC_NUMERIC to the user's locale; a settings file
    // must read the same either way.
    const char* const locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"};
    const char* set = nullptr;
    for (const char* l : locales)
        if ((set = std::setlocale(LC_NUMERIC, l))) break;
    if (!set) GTEST_SKIP() << "no locale with a decimal comma installed";
    EXPECT_EQ(FloatToStr(2.5), "2.5");
    EXPECT_EQ(StrToFloat("2.5"), 2.5);
    EXPECT_EQ(FloatToStrF(1234.5, TFloatFormat::ffFixed, 15, 2), "1234.50");
    std::setlocale(LC_NUMERIC, "C");
}

TEST(IniConversions, FloatToStrFFormats) {
    EXPECT_EQ(FloatToStrF(1234.5678, TFloatFormat::ffGeneral, 6, 0), "1234.57");
    EXPECT_EQ(FloatToStrF(1234.5678, TFloatFormat::ffGeneral, 3, 0), "1.23E3");
    EXPECT_EQ(FloatToStrF(1234.5678, TFloatFormat::ffExponent, 4, 2), "1.235E+03");
    EXPECT_EQ(FloatToStrF(0.00012, TFloatFormat::ffExponent, 2, 0), "1.2E-4");
    EXPECT_EQ(FloatToStrF(1234.5678, TFloatFormat::ffFixed, 15, 2), "1234.57");
    EXPECT_EQ(FloatToStrF(-0.001, TFloatFormat::ffFixed, 15, 2), "0.00");
    EXPECT_EQ(FloatToStrF(1234567.891, TFloatFormat::ffNumber, 15, 1), "1,234,567.9");
    EXPECT_EQ(FloatToStrF(-999.0, TFloatFormat::ffNumber, 15, 0), "-999");
}

} // namespace
