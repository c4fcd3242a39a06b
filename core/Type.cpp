#include "core/Type.h"

namespace System {

bool Type::IsSubclassOf(const Type& other) const {
    return cls_ && other.cls_ && cls_->InheritsFrom(other.cls_);
}

UnicodeString Type::GetFullName() const { return cls_ ? cls_->ClassName() : UnicodeString(); }
UnicodeString Type::GetModuleName() const { return cls_ ? cls_->UnitName() : UnicodeString(); }

namespace typeof_detail {
Type TypeOf(TClass cls) { return Type(cls); }
} // namespace typeof_detail

} // namespace System
