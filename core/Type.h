// A lightweight type object over a runtime class reference.
#pragma once
#include "rtl/TypInfo.h"
#include "core/x_lock.h"

namespace System {

class Type {
public:
    Type() noexcept = default;
    explicit Type(TClass cls) noexcept : cls_(cls) {}
    virtual ~Type() = default;
    Type(const Type&) = default;
    Type& operator=(const Type&) = default;

    // The runtime's inheritance test: true also for the class itself.
    bool IsSubclassOf(const Type& other) const;
    UnicodeString GetFullName() const;
    // The unit that declares the class.
    UnicodeString GetModuleName() const;
    TClass ToRawType() const noexcept { return cls_; }
    UnicodeString ToString() const { return GetFullName(); }
    bool operator==(const Type& o) const noexcept { return cls_ == o.cls_; }

private:
    TClass cls_ = nullptr;
};

namespace typeof_detail {

Type TypeOf(TClass cls);

// The type object of a fixed class, built once under the process-wide
// x_lock word and kept in a function-local static.
template <class C>
const Type& CachedTypeOf() {
    static Type type;
    static volatile std::uint16_t guard = 0;
    if (__atomic_load_n(&guard, __ATOMIC_ACQUIRE) == 0) {
        ::detail::lock::x_lock(::detail::lock::lock);
        if (guard == 0) {
            type = TypeOf(C::StaticClass());
            __atomic_store_n(&guard, static_cast<std::uint16_t>(guard + 1), __ATOMIC_RELEASE);
        }
        ::detail::lock::x_unlock(::detail::lock::lock);
    }
    return type;
}

} // namespace typeof_detail

} // namespace System

// typeof(C): the type object of class C.
#define norvane_typeof(C) (::System::typeof_detail::CachedTypeOf<C>())
