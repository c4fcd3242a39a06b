// Class references and published properties, which the settings
// self-check walks without knowing the class.
#include <gtest/gtest.h>

#include "rtl/Exception.h"
#include "rtl/TypInfo.h"

namespace {

using namespace System;

enum class Colour { Red, Green };

class TBase : public TObject {
public:
    NORVANE_CLASS_INFO()
    int GetSize() const { return size_; }
    void SetSize(int v) { size_ = v; }
    UnicodeString GetLabel() { return label_; }
    void SetLabel(const UnicodeString& v) { label_ = v; }

private:
    int size_ = 1;
    UnicodeString label_ = "base";
};

TClass TBase::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TBase, TObject>("TBase", "TypInfoTest")
                                      .Property("Size", &TBase::GetSize, &TBase::SetSize)
                                      .Property("Label", &TBase::GetLabel, &TBase::SetLabel)
                                      .Build();
    return &cls;
}

class TDerived : public TBase {
public:
    NORVANE_CLASS_INFO()
    double GetRatio() const { return ratio_; }
    void SetRatio(double v) { ratio_ = v; }
    bool GetOn() const { return on_; }
    void SetOn(bool v) { on_ = v; }
    Colour GetColour() const { return colour_; }
    void SetColour(Colour c) { colour_ = c; }
    std::int64_t GetBig() const { return 1ll << 40; }
    UnicodeString GetLabel() { return "derived:" + TBase::GetLabel(); }

private:
    double ratio_ = 0.5;
    bool on_ = false;
    Colour colour_ = Colour::Red;
};

TClass TDerived::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TDerived, TBase>("TDerived", "TypInfoTest")
                                      .Property("Ratio", &TDerived::GetRatio, &TDerived::SetRatio)
                                      .Property("On", &TDerived::GetOn, &TDerived::SetOn)
                                      .Property("Colour", &TDerived::GetColour, &TDerived::SetColour)
                                      .Property("Big", &TDerived::GetBig)
                                      .Property("LABEL", &TDerived::GetLabel)
                                      .Build();
    return &cls;
}

TEST(AppSettingsTypInfo, ClassReferences) {
    TDerived d;
    TObject& o = d;
    EXPECT_EQ(o.ClassType(), TDerived::StaticClass());
    EXPECT_EQ(o.ClassName(), "TDerived");
    EXPECT_EQ(TDerived::StaticClass()->ClassParent(), TBase::StaticClass());
    EXPECT_EQ(TDerived::StaticClass()->UnitName(), "TypInfoTest");
    EXPECT_EQ(TDerived::StaticClass()->InstanceSize(), sizeof(TDerived));
    EXPECT_TRUE(o.InheritsFrom(TDerived::StaticClass()));
    EXPECT_TRUE(o.InheritsFrom(TBase::StaticClass()));
    EXPECT_TRUE(o.InheritsFrom(TObject::StaticClass()));
    EXPECT_FALSE(TBase::StaticClass()->InheritsFrom(TDerived::StaticClass()));
}

TEST(AppSettingsTypInfo, PropertyListOfTheActualClass) {
    TDerived d;
    TObject& o = d;
    std::vector<UnicodeString> names;
    for (const TPropInfo* p : Typinfo::GetPropList(o.ClassType())) names.push_back(p->Name);
    // Ancestors first; the redeclared Label replaces the base's in place.
    EXPECT_EQ(names, (std::vector<UnicodeString>{"Size", "LABEL", "Ratio", "On", "Colour", "Big"}));
    EXPECT_EQ(Typinfo::GetPropInfo(o, "ratio")->Kind, TTypeKind::tkFloat);
    EXPECT_EQ(Typinfo::GetPropInfo(o, "Size")->Owner, TBase::StaticClass());
    EXPECT_EQ(Typinfo::GetPropInfo(o, "nope"), nullptr);
    EXPECT_EQ(Typinfo::GetStrProp(o, "label"), "derived:base") << "the most derived declaration wins";
}

TEST(AppSettingsTypInfo, TypedAccessByName) {
    TDerived d;
    TObject& o = d;
    Typinfo::SetOrdProp(o, "Size", 42);
    Typinfo::SetFloatProp(o, "Ratio", 2.25);
    Typinfo::SetOrdProp(o, "On", 1);
    Typinfo::SetOrdProp(o, "Colour", 1);
    EXPECT_EQ(d.GetSize(), 42);
    EXPECT_EQ(d.GetRatio(), 2.25);
    EXPECT_TRUE(d.GetOn());
    EXPECT_EQ(d.GetColour(), Colour::Green);
    EXPECT_EQ(Typinfo::GetOrdProp(o, "Size"), 42);
    EXPECT_EQ(Typinfo::GetOrdProp(o, "On"), 1);
    EXPECT_EQ(Typinfo::GetOrdProp(o, "Big"), 1ll << 40);
    EXPECT_EQ(Typinfo::GetPropInfo(o, "Big")->Kind, TTypeKind::tkInt64);
    EXPECT_EQ(Typinfo::GetPropInfo(o, "Colour")->Kind, TTypeKind::tkEnumeration);
}

TEST(AppSettingsTypInfo, MisuseIsReported) {
    TDerived d;
    TObject& o = d;
    EXPECT_THROW(Typinfo::GetOrdProp(o, "Ratio"), Typinfo::EPropertyConvertError);
    EXPECT_THROW(Typinfo::SetStrProp(o, "Size", "x"), Typinfo::EPropertyConvertError);
    EXPECT_THROW(Typinfo::SetOrdProp(o, "Big", 1), Typinfo::EPropertyError) << "read-only";
    EXPECT_THROW(Typinfo::SetOrdProp(o, "Size", 1ll << 40), Sysutils::ERangeError);
    try {
        Typinfo::GetOrdProp(o, "Missing");
        ADD_FAILURE();
    } catch (const Typinfo::EPropertyError& e) {
        EXPECT_EQ(e.Message(), "Property Missing does not exist");
    }
    TBase b;
    const TPropInfo* ratio = Typinfo::GetPropInfo(TDerived::StaticClass(), "Ratio");
    EXPECT_THROW(Typinfo::GetFloatProp(b, ratio), Sysutils::EInvalidCast) << "not an instance of the declaring class";
}

TEST(AppSettingsTypInfo, EnumerationNamesNeedSequentialValues) {
    const TEnumTypeInfo seq("Seq", {{"A", 1}, {"B", 2}, {"C", 3}});
    EXPECT_EQ(Typinfo::GetEnumName(seq, 2), "B");
    std::int64_t v = 0;
    EXPECT_TRUE(Typinfo::TryGetEnumValue(seq, "C", v));
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(Typinfo::TryGetEnumValue(seq, "c", v));
    EXPECT_THROW(Typinfo::GetEnumName(seq, 4), Sysutils::ERangeError);
    EXPECT_THROW(Typinfo::GetEnumName(seq, 0), Sysutils::ERangeError);

    for (const TEnumTypeInfo& bad : {TEnumTypeInfo("Gap", {{"A", 0}, {"B", 2}}), TEnumTypeInfo("Down", {{"A", 1}, {"B", 0}}),
                                     TEnumTypeInfo("Empty", {})}) {
        try {
            Typinfo::GetEnumName(bad, 0);
            ADD_FAILURE() << bad.Name().ToUtf8();
        } catch (const Sysutils::EInvalidOperation& e) {
            EXPECT_EQ(e.Message(), "Operation is not supported for non-sequential enum types");
        }
        EXPECT_THROW(Typinfo::TryGetEnumValue(bad, "A", v), Sysutils::EInvalidOperation);
    }
}

} // namespace
