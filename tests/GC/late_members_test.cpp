// Pointers engaged inside a managed object after its construction belong to
// it; members destroyed early are not traced.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>

#include "gc_fixture.h"

using namespace gc_test;
namespace L = gc_detail::layout;

namespace {

struct Peer {
    static std::atomic<int> alive;
    std::optional<gc_ptr<Peer>> other; // engaged after construction
    Peer() { alive.fetch_add(1); }
    ~Peer() { alive.fetch_sub(1); }
};
std::atomic<int> Peer::alive{0};

struct Either {
    std::variant<gc_ptr<Tracked>, std::string> v;
    explicit Either(gc_ptr<Tracked> t) : v(t) {}
};

class LateMembers : public ::testing::Test {
protected:
    void SetUp() override { settle(); }
};

TEST_F(LateMembers, CycleThroughMembersEngagedLaterIsCollected) {
    const std::size_t roots = root_count();
    in_own_frame([&] {
        gc_ptr<Peer> a = gcnew<Peer>();
        gc_ptr<Peer> b = gcnew<Peer>();
        a->other.emplace(b);
        b->other.emplace(a);
        EXPECT_EQ(a->other->slot, L::slot_member);
        EXPECT_EQ(root_count(), roots) << "an engaged member became a root";
        gc_detail::collect(1);
        EXPECT_EQ(Peer::alive.load(), 2);
    });
    settle();
    EXPECT_EQ(Peer::alive.load(), 0);
}

TEST_F(LateMembers, EngagedMemberKeepsItsTargetAndResetOneDoesNot) {
    gc_ptr<Peer> a = gcnew<Peer>();
    in_own_frame([&] { a->other.emplace(gcnew<Peer>()); });
    settle();
    EXPECT_EQ(Peer::alive.load(), 2);
    a->other.reset();
    settle();
    EXPECT_EQ(Peer::alive.load(), 1);
    in_own_frame([&] { a->other.emplace(gcnew<Peer>()); }); // the same bytes again
    settle();
    EXPECT_EQ(Peer::alive.load(), 2);
    a = nullptr;
    settle();
    EXPECT_EQ(Peer::alive.load(), 0);
}

TEST_F(LateMembers, YoungTargetOfAMemberEngagedInAnOldObjectSurvivesAYoungCollection) {
    gc_ptr<Peer> old = gcnew<Peer>();
    gc_detail::collect(2);
    gc_detail::collect(2); // generation 2
    in_own_frame([&] { old->other.emplace(gcnew<Peer>()); });
    gc_detail::collect(1);
    EXPECT_EQ(Peer::alive.load(), 2);
    ASSERT_TRUE(old->other.has_value());
    EXPECT_NE((*old->other).get(), nullptr);
    old = nullptr;
    settle();
}

TEST_F(LateMembers, MemberDestroyedAndItsBytesReusedIsNotTraced) {
    const int destroyed = Tracked::destroyed.load();
    gc_ptr<Either> e;
    in_own_frame([&] { e = gcnew<Either>(gcnew<Tracked>(5)); });
    // Short text: stays in the string's own bytes, where the pointer was.
    e->v = std::string("not a pointer!!");
    settle();
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1);
    EXPECT_EQ(std::get<std::string>(e->v), "not a pointer!!");
    in_own_frame([&] { e->v = gcnew<Tracked>(6); });
    settle();
    EXPECT_EQ(std::get<gc_ptr<Tracked>>(e->v)->value, 6);
}

} // namespace
