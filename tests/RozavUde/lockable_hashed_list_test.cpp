#include "RozavUde/LockableHashedList.h"

#include <gtest/gtest.h>

using System::Threading::TLockableHashedList;

namespace {
int items[6];

std::vector<int> order(TLockableHashedList<int*>& l) {
    std::vector<int> out;
    for (int* p : l.Snapshot()) out.push_back(static_cast<int>(p - items));
    return out;
}
} // namespace

TEST(LockableHashedList, KeepsInsertionOrderAndIgnoresRepeatedAdds) {
    TLockableHashedList<int*> l;
    for (int i : {3, 1, 4, 0}) EXPECT_TRUE(l.Add(&items[i]));
    EXPECT_FALSE(l.Add(&items[1]));
    EXPECT_EQ(order(l), (std::vector<int>{3, 1, 4, 0}));
    EXPECT_TRUE(l.Remove(&items[1]));
    EXPECT_FALSE(l.Remove(&items[1]));
    EXPECT_TRUE(l.Add(&items[1])); // back at the end
    EXPECT_EQ(order(l), (std::vector<int>{3, 4, 0, 1}));
    EXPECT_EQ(l.Count(), 4);
    EXPECT_FALSE(l.Contains(&items[5]));
}

TEST(LockableHashedList, WalkMayRemoveTheItemItStandsOn) {
    TLockableHashedList<int*> l;
    for (int i = 0; i < 6; ++i) l.Add(&items[i]);
    std::vector<int> visited;
    l.ForEach([&](int* p) {
        visited.push_back(static_cast<int>(p - items));
        if ((p - items) % 2 == 0) l.Remove(p);
    });
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(order(l), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(l.Count(), 3);
    l.Clear();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_TRUE(l.Snapshot().empty());
}
