// Objects of one type share a descriptor; what a constructor builds beyond
// it, and bytes a block kept from its former object, are handled per object.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "GC/arena.h"
#include "gc_fixture.h"

using namespace gc_test;
namespace L = gc_detail::layout;

namespace {

class TypeDescriptors : public ::testing::Test {
protected:
    void SetUp() override { settle(); }
};

// One constructor builds a member the other does not.
struct TwoWays {
    gc_ptr<Tracked> always;
    std::optional<gc_ptr<Tracked>> sometimes;
    explicit TwoWays(bool both) : always(gcnew<Tracked>(1)) {
        if (both) sometimes.emplace(gcnew<Tracked>(2));
    }
};

TEST_F(TypeDescriptors, MembersOnlySomeConstructorsBuildAreTraced) {
    const int before = Tracked::alive.load();
    gc_ptr<TwoWays> narrow = gcnew<TwoWays>(false); // the type learns one member
    gc_ptr<TwoWays> wide = gcnew<TwoWays>(true);    // and then a second
    gc_ptr<TwoWays> narrow_again = gcnew<TwoWays>(false);
    EXPECT_EQ(wide->sometimes->slot, L::slot_member);
    EXPECT_EQ(gc_detail::member_count(gc_detail::object_header::of(wide.get())), 2);
    settle();
    EXPECT_EQ(Tracked::alive.load(), before + 4);
    EXPECT_EQ((*wide->sometimes)->value, 2);
    EXPECT_EQ(narrow_again->always->value, 1);
    EXPECT_FALSE(narrow_again->sometimes.has_value());
    wide = nullptr;
    settle();
    EXPECT_EQ(Tracked::alive.load(), before + 2);
}

// A collection while the object is being built, before its member is.
struct Reused {
    int destroyed_then = (gc_detail::collect(3), Tracked::destroyed.load());
    gc_ptr<Tracked> member;
};

__attribute__((noinline)) std::uintptr_t unreachable_tracked() {
    gc_ptr<Tracked> t = gcnew<Tracked>(9);
    return reinterpret_cast<std::uintptr_t>(t.get());
}

TEST_F(TypeDescriptors, StaleMemberBytesOfAReusedBlockKeepNothingAlive) {
    gc_ptr<Reused> first = gcnew<Reused>(); // the type is known from now on
    const std::uintptr_t offset =
        reinterpret_cast<std::uintptr_t>(&first->member) - reinterpret_cast<std::uintptr_t>(first.get());
    std::uintptr_t victim = 0;
    in_own_frame([&] { victim = unreachable_tracked(); });
    const int destroyed_before = Tracked::destroyed.load();

    // A block whose bytes at the member's place read as a live member
    // pointing at the victim; the thread's cache hands it out next.
    void* block = gc_detail::arena::allocate(sizeof(Reused));
    char* stale = static_cast<char*>(block) + offset;
    *reinterpret_cast<std::int64_t*>(stale + L::off_pb_slot) = L::slot_member;
    *reinterpret_cast<std::uintptr_t*>(stale + L::off_pb_target) = victim;
    gc_detail::arena::release(block);

    gc_ptr<Reused> second = gcnew<Reused>();
    if (second.get() != block) GTEST_SKIP() << "the allocator handed out another block";
    EXPECT_GT(second->destroyed_then, destroyed_before) << "the former bytes kept the victim alive";
    EXPECT_FALSE(second->member);
}

} // namespace
