// The queue helpers on arrays.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/KNArrayQueue.h"

namespace {

template <class Array>
class ArrayQueue : public ::testing::Test {};
using Arrays = ::testing::Types<std::deque<std::string>, std::vector<std::string>>;
TYPED_TEST_SUITE(ArrayQueue, Arrays);

TYPED_TEST(ArrayQueue, FrontIsIndexZeroBackIsTheLastIndex) {
    TypeParam array;
    kn_pushBack(array, std::string("b"));
    kn_pushFront(array, std::string("a"));
    kn_pushBack(array, std::string("c"));
    EXPECT_EQ(array, (TypeParam{"a", "b", "c"}));
    EXPECT_EQ(kn_front(array), "a");
    EXPECT_EQ(kn_back(array), "c");
    EXPECT_EQ(array.size(), 3u);  // reading removes nothing

    EXPECT_EQ(kn_popFront(array), "a");
    EXPECT_EQ(kn_popBack(array), "c");
    EXPECT_EQ(kn_popFront(array), "b");
    EXPECT_TRUE(array.empty());
}

using ArrayQueueDeathTest = ::testing::Test;

TEST_F(ArrayQueueDeathTest, ReadingAnEmptyArrayStopsTheProcess) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    std::deque<int> empty;
    EXPECT_DEATH(kn_front(empty), "kn_front: .*empty array");
    EXPECT_DEATH(kn_back(empty), "kn_back: .*empty array");
    EXPECT_DEATH(kn_popFront(empty), "kn_popFront: .*empty array");
    EXPECT_DEATH(kn_popBack(empty), "kn_popBack: .*empty array");

    // Emptied by pops, not only empty from the start.
    std::vector<int> drained{1};
    kn_popBack(drained);
    EXPECT_DEATH(kn_popFront(drained), "kn_popFront: .*empty array");
}

}  // namespace
