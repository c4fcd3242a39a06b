// Class references and published properties: the runtime class information
// that lets code walk and use an object's properties by name without
// knowing its class, as the settings store's self-check does.
//
// A class takes part by declaring NORVANE_CLASS_INFO() in its public part
// and defining its StaticClass() with a TClassBuilder, listing its
// published properties:
//
//   System::TClass TMySettings::StaticClass() {
//       static const System::TMetaClass cls =
//           System::TClassBuilder<TMySettings, TAppSettingsBase>("TMySettings", "MyUnit")
//               .Property("Port", &TMySettings::GetPort, &TMySettings::SetPort)
//               .Build();
//       return &cls;
//   }
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/UnicodeString.h"

namespace System {

class TObject;
class TMetaClass;
using TClass = const TMetaClass*;

enum class TTypeKind : std::uint8_t { tkInteger, tkInt64, tkEnumeration, tkBool, tkFloat, tkUString };

// A property value of any published kind: integers, enumerations and int64
// travel as std::int64_t.
using TPropValue = std::variant<std::int64_t, bool, double, UnicodeString>;

struct TPropInfo {
    UnicodeString Name;
    TTypeKind Kind{};
    TClass Owner = nullptr; // declaring class
    std::function<TPropValue(TObject&)> Getter;
    std::function<void(TObject&, const TPropValue&)> Setter; // empty: read-only
    bool IsWritable() const { return static_cast<bool>(Setter); }
};

class TMetaClass {
public:
    TMetaClass(UnicodeString className, UnicodeString unitName, TClass parent, std::size_t instanceSize,
               std::vector<TPropInfo> ownProperties);
    using creator_fn = TObject* (*)(void* memory);
    using component_creator_fn = TObject* (*)(TObject* owner);
    TMetaClass(UnicodeString className, UnicodeString unitName, TClass parent, std::size_t instanceSize,
               std::vector<TPropInfo> ownProperties, creator_fn create, component_creator_fn withOwner)
        : TMetaClass(std::move(className), std::move(unitName), parent, instanceSize, std::move(ownProperties)) {
        create_ = create;
        createWithOwner_ = withOwner;
    }
    TMetaClass(const TMetaClass&) = delete;
    TMetaClass& operator=(const TMetaClass&) = delete;
    TMetaClass(TMetaClass&&) = delete; // properties point back at their class

    const UnicodeString& ClassName() const { return name_; }
    const UnicodeString& UnitName() const { return unit_; }
    TClass ClassParent() const { return parent_; }
    std::size_t InstanceSize() const { return size_; }
    // True for the class itself and for every class derived from `ancestor`.
    bool InheritsFrom(TClass ancestor) const;

    // Properties this class declares, in declaration order.
    const std::vector<TPropInfo>& OwnProperties() const { return props_; }
    // Every published property, ancestors' first; a redeclared name hides
    // the ancestor's.
    std::vector<const TPropInfo*> GetPropList() const;
    // Case-insensitive; the most derived declaration wins. Null when absent.
    const TPropInfo* FindProperty(const UnicodeString& name) const;

    // The virtual constructor: builds an instance in the given memory (at
    // least InstanceSize() bytes). Absent for abstract classes and classes
    // without a default constructor.
    bool CanCreate() const { return create_ != nullptr; }
    TObject* CreateAt(void* memory) const;
    // Components are constructed with their owner and live on the heap.
    TObject* CreateWithOwner(TObject* owner) const;

private:
    creator_fn create_ = nullptr;
    component_creator_fn createWithOwner_ = nullptr;
    UnicodeString name_;
    UnicodeString unit_;
    TClass parent_;
    std::size_t size_;
    std::vector<TPropInfo> props_;
};

// The root of classes with class information.
class TObject {
public:
    virtual ~TObject();
    static TClass StaticClass();
    virtual TClass ClassType() const { return StaticClass(); }
    UnicodeString ClassName() const;
    bool InheritsFrom(TClass ancestor) const;
};

#define NORVANE_CLASS_INFO()                                                    \
    static ::System::TClass StaticClass();                                      \
    ::System::TClass ClassType() const override { return StaticClass(); }

namespace typinfo_detail {

template <class T>
constexpr TTypeKind KindOf() {
    if constexpr (std::is_same_v<T, bool>) return TTypeKind::tkBool;
    else if constexpr (std::is_enum_v<T>) return TTypeKind::tkEnumeration;
    else if constexpr (std::is_integral_v<T> && sizeof(T) > 4) return TTypeKind::tkInt64;
    else if constexpr (std::is_integral_v<T>) return TTypeKind::tkInteger;
    else if constexpr (std::is_floating_point_v<T>) return TTypeKind::tkFloat;
    else if constexpr (std::is_same_v<T, UnicodeString>) return TTypeKind::tkUString;
    else static_assert(sizeof(T) == 0, "type cannot be a published property");
}

template <class T>
TPropValue Pack(const T& v) {
    if constexpr (std::is_same_v<T, bool>) return TPropValue(v);
    else if constexpr (std::is_enum_v<T> || std::is_integral_v<T>) return TPropValue(static_cast<std::int64_t>(v));
    else if constexpr (std::is_floating_point_v<T>) return TPropValue(static_cast<double>(v));
    else return TPropValue(v);
}

[[noreturn]] void ThrowRangeError();

template <class T>
T Unpack(const TPropValue& v) {
    if constexpr (std::is_same_v<T, bool>) return std::get<bool>(v);
    else if constexpr (std::is_enum_v<T>) return static_cast<T>(std::get<std::int64_t>(v));
    else if constexpr (std::is_integral_v<T>) {
        const std::int64_t x = std::get<std::int64_t>(v);
        if (!std::in_range<T>(x)) ThrowRangeError();
        return static_cast<T>(x);
    }
    else if constexpr (std::is_floating_point_v<T>) return static_cast<T>(std::get<double>(v));
    else return std::get<UnicodeString>(v);
}

[[noreturn]] void ThrowInvalidCast();

template <class C>
C& Cast(TObject& o) {
    auto* p = dynamic_cast<C*>(&o);
    if (!p) ThrowInvalidCast();
    return *p;
}

} // namespace typinfo_detail

// Components declare `using OwnerType = ...;` for their owner constructor.
template <class C>
concept OwnerConstructible = requires { typename C::OwnerType; } &&
                             std::is_constructible_v<C, typename C::OwnerType*>;
template <class C> using OwnerOf = typename C::OwnerType;

template <class C, class Parent>
class TClassBuilder {
    static_assert(std::is_base_of_v<Parent, C>, "Parent must be a base of the class");

public:
    TClassBuilder(const char* className, const char* unitName) : name_(className), unit_(unitName) {}

    // get: a member function (const or not) returning the value; set: a
    // member function taking it.
    template <class Get, class Set>
    TClassBuilder& Property(const char* name, Get get, Set set) {
        using T = std::remove_cvref_t<std::invoke_result_t<Get, C&>>;
        TPropInfo p = MakeReadOnly(name, get);
        p.Setter = [set](TObject& o, const TPropValue& v) {
            std::invoke(set, typinfo_detail::Cast<C>(o), typinfo_detail::Unpack<T>(v));
        };
        props_.push_back(std::move(p));
        return *this;
    }
    template <class Get>
    TClassBuilder& Property(const char* name, Get get) {
        props_.push_back(MakeReadOnly(name, get));
        return *this;
    }

    TMetaClass Build() {
        typename TMetaClass::creator_fn create = nullptr;
        typename TMetaClass::component_creator_fn withOwner = nullptr;
        if constexpr (!std::is_abstract_v<C> && std::is_default_constructible_v<C>)
            create = [](void* mem) -> TObject* { return ::new (mem) C(); };
        if constexpr (!std::is_abstract_v<C> && OwnerConstructible<C>)
            withOwner = [](TObject* owner) -> TObject* { return new C(static_cast<OwnerOf<C>*>(owner)); };
        return TMetaClass(name_, unit_, Parent::StaticClass(), sizeof(C), std::move(props_), create, withOwner);
    }

private:
    template <class Get>
    static TPropInfo MakeReadOnly(const char* name, Get get) {
        using T = std::remove_cvref_t<std::invoke_result_t<Get, C&>>;
        TPropInfo p;
        p.Name = UnicodeString(name);
        p.Kind = typinfo_detail::KindOf<T>();
        p.Getter = [get](TObject& o) -> TPropValue {
            return typinfo_detail::Pack<T>(std::invoke(get, typinfo_detail::Cast<C>(o)));
        };
        return p;
    }

    UnicodeString name_, unit_;
    std::vector<TPropInfo> props_;
};

// Names and values of an enumeration, in declaration order.
struct TEnumMember {
    UnicodeString Name;
    std::int64_t Value;
};
class TEnumTypeInfo {
public:
    TEnumTypeInfo(UnicodeString name, std::vector<TEnumMember> members);
    const UnicodeString& Name() const { return name_; }
    const std::vector<TEnumMember>& Members() const { return members_; }
    // Values run from the lowest to the highest without gaps, in order.
    bool IsSequential() const { return sequential_; }
    // The name and value conversions below need a sequential enumeration;
    // others throw EInvalidOperation.
    std::int64_t MinValue() const;
    std::int64_t MaxValue() const;

private:
    UnicodeString name_;
    std::vector<TEnumMember> members_;
    bool sequential_;
};

namespace Typinfo {

// The name at position value - lowest; ERangeError outside the range.
UnicodeString GetEnumName(const TEnumTypeInfo& info, std::int64_t value);
// The value of the first name equal to `name` (case-sensitive).
bool TryGetEnumValue(const TEnumTypeInfo& info, const UnicodeString& name, std::int64_t& value);

class EPropertyError : public Sysutils::Exception {
public:
    explicit EPropertyError(const UnicodeString& msg) : Exception(msg) {}
};
class EPropertyConvertError : public Sysutils::Exception {
public:
    explicit EPropertyConvertError(const UnicodeString& msg) : Exception(msg) {}
};

std::vector<const TPropInfo*> GetPropList(TClass cls);
const TPropInfo* GetPropInfo(TClass cls, const UnicodeString& name);
const TPropInfo* GetPropInfo(TObject& obj, const UnicodeString& name);

// Typed access. A property of another kind throws EPropertyConvertError; an
// unknown name throws EPropertyError "Property <name> does not exist";
// writing a read-only property throws EPropertyError too.
TPropValue GetPropValue(TObject& obj, const TPropInfo* prop);
void SetPropValue(TObject& obj, const TPropInfo* prop, const TPropValue& value);
std::int64_t GetOrdProp(TObject& obj, const TPropInfo* prop); // integers, enumerations, bool
void SetOrdProp(TObject& obj, const TPropInfo* prop, std::int64_t value);
double GetFloatProp(TObject& obj, const TPropInfo* prop);
void SetFloatProp(TObject& obj, const TPropInfo* prop, double value);
UnicodeString GetStrProp(TObject& obj, const TPropInfo* prop);
void SetStrProp(TObject& obj, const TPropInfo* prop, const UnicodeString& value);

std::int64_t GetOrdProp(TObject& obj, const UnicodeString& name);
void SetOrdProp(TObject& obj, const UnicodeString& name, std::int64_t value);
double GetFloatProp(TObject& obj, const UnicodeString& name);
void SetFloatProp(TObject& obj, const UnicodeString& name, double value);
UnicodeString GetStrProp(TObject& obj, const UnicodeString& name);
void SetStrProp(TObject& obj, const UnicodeString& name, const UnicodeString& value);

} // namespace Typinfo

} // namespace System
