#include "rtl/TypInfo.h"

namespace System {

namespace typinfo_detail {
void ThrowInvalidCast() { throw Sysutils::EInvalidCast("Invalid class typecast"); }
void ThrowRangeError() { throw Sysutils::ERangeError("Range check error"); }
} // namespace typinfo_detail

TMetaClass::TMetaClass(UnicodeString className, UnicodeString unitName, TClass parent, std::size_t instanceSize,
                       std::vector<TPropInfo> ownProperties)
    : name_(std::move(className)), unit_(std::move(unitName)), parent_(parent), size_(instanceSize),
      props_(std::move(ownProperties)) {
    for (auto& p : props_) p.Owner = this;
}

bool TMetaClass::InheritsFrom(TClass ancestor) const {
    for (TClass c = this; c; c = c->parent_)
        if (c == ancestor) return true;
    return false;
}

std::vector<const TPropInfo*> TMetaClass::GetPropList() const {
    std::vector<TClass> chain;
    for (TClass c = this; c; c = c->parent_) chain.push_back(c);
    std::vector<const TPropInfo*> out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        for (const TPropInfo& p : (*it)->props_) {
            bool replaced = false;
            for (auto& q : out)
                if (CompareTextUnicode(q->Name, p.Name) == 0) { q = &p; replaced = true; break; }
            if (!replaced) out.push_back(&p);
        }
    }
    return out;
}

const TPropInfo* TMetaClass::FindProperty(const UnicodeString& name) const {
    for (TClass c = this; c; c = c->parent_)
        for (const TPropInfo& p : c->props_)
            if (CompareTextUnicode(p.Name, name) == 0) return &p;
    return nullptr;
}

TObject::~TObject() = default;

TObject* TMetaClass::CreateAt(void* memory) const {
    if (!create_) throw Sysutils::EInvalidOperation("Cannot create an instance of " + name_);
    return create_(memory);
}

TObject* TMetaClass::CreateWithOwner(TObject* owner) const {
    if (!createWithOwner_) throw Sysutils::EInvalidOperation("Cannot create an instance of " + name_);
    return createWithOwner_(owner);
}

TClass TObject::StaticClass() {
    static const TMetaClass cls("TObject", "System", nullptr, sizeof(TObject), {});
    return &cls;
}

UnicodeString TObject::ClassName() const { return ClassType()->ClassName(); }
bool TObject::InheritsFrom(TClass ancestor) const { return ClassType()->InheritsFrom(ancestor); }

TEnumTypeInfo::TEnumTypeInfo(UnicodeString name, std::vector<TEnumMember> members)
    : name_(std::move(name)), members_(std::move(members)), sequential_(!members_.empty()) {
    for (std::size_t i = 1; i < members_.size(); ++i)
        if (members_[i].Value != members_[i - 1].Value + 1) sequential_ = false;
}

namespace {
void RequireSequential(const TEnumTypeInfo& info) {
    if (!info.IsSequential())
        throw Sysutils::EInvalidOperation("Operation is not supported for non-sequential enum types");
}
} // namespace

std::int64_t TEnumTypeInfo::MinValue() const {
    RequireSequential(*this);
    return members_.front().Value;
}

std::int64_t TEnumTypeInfo::MaxValue() const {
    RequireSequential(*this);
    return members_.back().Value;
}

namespace Typinfo {

UnicodeString GetEnumName(const TEnumTypeInfo& info, std::int64_t value) {
    const std::int64_t low = info.MinValue(), high = info.MaxValue();
    if (value < low || value > high) throw Sysutils::ERangeError("Range check error");
    return info.Members()[static_cast<std::size_t>(value - low)].Name;
}

bool TryGetEnumValue(const TEnumTypeInfo& info, const UnicodeString& name, std::int64_t& value) {
    const std::int64_t low = info.MinValue();
    const auto& m = info.Members();
    for (std::size_t i = 0; i < m.size(); ++i)
        if (m[i].Name == name) {
            value = low + static_cast<std::int64_t>(i);
            return true;
        }
    return false;
}

namespace {

const TPropInfo* Require(TObject& obj, const UnicodeString& name) {
    const TPropInfo* p = GetPropInfo(obj, name);
    if (!p) throw EPropertyError("Property " + name + " does not exist");
    return p;
}

const TPropInfo* Check(const TPropInfo* p) {
    if (!p) throw EPropertyError("Property does not exist");
    return p;
}

[[noreturn]] void WrongKind(const TPropInfo* p) {
    throw EPropertyConvertError("Invalid property type conversion for property " + p->Name);
}

TPropValue ConvertForSet(const TPropInfo* p, const TPropValue& v) {
    switch (p->Kind) {
    case TTypeKind::tkInteger:
    case TTypeKind::tkInt64:
    case TTypeKind::tkEnumeration:
        if (std::holds_alternative<std::int64_t>(v)) return v;
        if (std::holds_alternative<bool>(v)) return TPropValue(static_cast<std::int64_t>(std::get<bool>(v)));
        break;
    case TTypeKind::tkBool:
        if (std::holds_alternative<bool>(v)) return v;
        if (std::holds_alternative<std::int64_t>(v)) return TPropValue(std::get<std::int64_t>(v) != 0);
        break;
    case TTypeKind::tkFloat:
        if (std::holds_alternative<double>(v)) return v;
        if (std::holds_alternative<std::int64_t>(v))
            return TPropValue(static_cast<double>(std::get<std::int64_t>(v)));
        break;
    case TTypeKind::tkUString:
        if (std::holds_alternative<UnicodeString>(v)) return v;
        break;
    }
    WrongKind(p);
}

} // namespace

std::vector<const TPropInfo*> GetPropList(TClass cls) { return cls ? cls->GetPropList() : std::vector<const TPropInfo*>{}; }
const TPropInfo* GetPropInfo(TClass cls, const UnicodeString& name) { return cls ? cls->FindProperty(name) : nullptr; }
const TPropInfo* GetPropInfo(TObject& obj, const UnicodeString& name) { return GetPropInfo(obj.ClassType(), name); }

TPropValue GetPropValue(TObject& obj, const TPropInfo* prop) { return Check(prop)->Getter(obj); }

void SetPropValue(TObject& obj, const TPropInfo* prop, const TPropValue& value) {
    Check(prop);
    if (!prop->IsWritable()) throw EPropertyError("Property " + prop->Name + " is read-only");
    prop->Setter(obj, ConvertForSet(prop, value));
}

std::int64_t GetOrdProp(TObject& obj, const TPropInfo* prop) {
    TPropValue v = GetPropValue(obj, prop);
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    WrongKind(prop);
}
void SetOrdProp(TObject& obj, const TPropInfo* prop, std::int64_t value) {
    if (Check(prop)->Kind == TTypeKind::tkFloat || prop->Kind == TTypeKind::tkUString) WrongKind(prop);
    SetPropValue(obj, prop, TPropValue(value));
}
double GetFloatProp(TObject& obj, const TPropInfo* prop) {
    TPropValue v = GetPropValue(obj, prop);
    if (auto* d = std::get_if<double>(&v)) return *d;
    WrongKind(prop);
}
void SetFloatProp(TObject& obj, const TPropInfo* prop, double value) {
    if (Check(prop)->Kind != TTypeKind::tkFloat) WrongKind(prop);
    SetPropValue(obj, prop, TPropValue(value));
}
UnicodeString GetStrProp(TObject& obj, const TPropInfo* prop) {
    TPropValue v = GetPropValue(obj, prop);
    if (auto* s = std::get_if<UnicodeString>(&v)) return *s;
    WrongKind(prop);
}
void SetStrProp(TObject& obj, const TPropInfo* prop, const UnicodeString& value) {
    if (Check(prop)->Kind != TTypeKind::tkUString) WrongKind(prop);
    SetPropValue(obj, prop, TPropValue(value));
}

std::int64_t GetOrdProp(TObject& obj, const UnicodeString& name) { return GetOrdProp(obj, Require(obj, name)); }
void SetOrdProp(TObject& obj, const UnicodeString& name, std::int64_t v) { SetOrdProp(obj, Require(obj, name), v); }
double GetFloatProp(TObject& obj, const UnicodeString& name) { return GetFloatProp(obj, Require(obj, name)); }
void SetFloatProp(TObject& obj, const UnicodeString& name, double v) { SetFloatProp(obj, Require(obj, name), v); }
UnicodeString GetStrProp(TObject& obj, const UnicodeString& name) { return GetStrProp(obj, Require(obj, name)); }
void SetStrProp(TObject& obj, const UnicodeString& name, const UnicodeString& v) {
    SetStrProp(obj, Require(obj, name), v);
}

} // namespace Typinfo

} // namespace System
