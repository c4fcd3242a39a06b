// Type objects over class references and their one-time cached creation.
#include "core/Type.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/Objects.h"

namespace {

using System::Type;

class TBaseThing : public System::TLockableObject {
public:
    NORVANE_CLASS_INFO()
};
class TDerivedThing : public TBaseThing {
public:
    NORVANE_CLASS_INFO()
};
System::TClass TBaseThing::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TBaseThing, System::TLockableObject>("TBaseThing", "ThingUnit").Build();
    return &cls;
}
System::TClass TDerivedThing::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TDerivedThing, TBaseThing>("TDerivedThing", "ThingUnit").Build();
    return &cls;
}

TEST(Type, InheritanceIncludesTheClassItself) {
    const Type base(TBaseThing::StaticClass()), derived(TDerivedThing::StaticClass()), none;
    struct Case {
        const Type& type;
        const Type& of;
        bool expected;
    } cases[] = {
        {base, base, true},     {derived, derived, true}, {derived, base, true},
        {base, derived, false}, {none, base, false},      {base, none, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.type.IsSubclassOf(c.of), c.expected)
            << c.type.GetFullName().ToUtf8() << " of " << c.of.GetFullName().ToUtf8();
}

TEST(Type, NamesComeFromTheClassReference) {
    const Type t(TDerivedThing::StaticClass());
    EXPECT_EQ(t.GetFullName().ToUtf8(), "TDerivedThing");
    EXPECT_EQ(t.ToString().ToUtf8(), "TDerivedThing");
    EXPECT_EQ(t.GetModuleName().ToUtf8(), "ThingUnit");
    EXPECT_EQ(t.ToRawType(), TDerivedThing::StaticClass());
    const Type none;
    EXPECT_EQ(none.ToRawType(), nullptr);
    EXPECT_TRUE(none.GetFullName().IsEmpty());
}

TEST(Type, CachedTypeIsBuiltOnceForAllThreads) {
    std::atomic<bool> go{false};
    std::vector<const Type*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            seen[i] = &norvane_typeof(TDerivedThing);
        });
    go = true;
    for (auto& t : threads) t.join();
    for (const Type* t : seen) {
        ASSERT_EQ(t, seen[0]);
        EXPECT_EQ(t->ToRawType(), TDerivedThing::StaticClass());
    }
}

TEST(Type, ActivatorStillAcceptsTheSharedObjectClassItself) {
    gc_ptr<System::TSharedObject> o = System::TActivator::CreateInstance(Type(System::TSharedObject::StaticClass()));
    EXPECT_TRUE(o);
}

} // namespace
