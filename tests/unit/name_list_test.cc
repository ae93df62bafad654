#include "queries/name_list.h"
#include "../support/internals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace pacpick {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

// Names of mixed lengths in any order (as a caller may build a list) read back
// unchanged by index and by iteration, empty names included.
TEST(NameListTest, KeepsAnyOrderOfNamesOfAnyLength) {
    std::mt19937 rng(3);
    std::vector<std::string> names;
    NameList list;
    for (int i = 0; i < 500; ++i) {
        const size_t length = rng() % 3 == 0 ? names.empty() ? 0 : names.back().size() : rng() % 9;
        std::string name(length, char('a' + rng() % 26));
        list.push_back(name);
        names.push_back(name);
    }
    ASSERT_EQ(list.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(list[i], names[i]) << "index " << i;
    }
    EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), names);
    EXPECT_EQ(list.end() - list.begin(), std::ptrdiff_t(names.size()));
    EXPECT_EQ(*(list.begin() + 7), names[7]);
}

TEST(NameListTest, TakesRunsWithoutLosingTheirBoundaries) {
    NameList list{"x"};
    NameRun twos(2);
    for (const char* name : {"aa", "ab", "bb"}) {
        twos.push_back(name);
    }
    list.append(std::move(twos));
    list.append(NameRun(5));  // nothing to add
    NameRun more_twos(2);
    more_twos.push_back("dd");
    list.append(std::move(more_twos));
    list.push_back("eee");
    EXPECT_THAT(list, ElementsAre("x", "aa", "ab", "bb", "dd", "eee"));
    EXPECT_EQ(list.size(), 6u);
}

TEST(NameListTest, ComparesClearsAndCopies) {
    const NameList a{"vi", "vim", "gvim"};
    NameList b{"vi", "vim"};
    EXPECT_FALSE(a == b);
    b.push_back("gvim");
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == (NameList{"vi", "vim", "gvin"}));
    NameList copy = a;
    EXPECT_TRUE(copy == a);
    copy.clear();
    EXPECT_TRUE(copy.empty());
    EXPECT_THAT(copy, IsEmpty());
    copy.push_back("after");
    EXPECT_THAT(copy, ElementsAre("after"));
    EXPECT_THAT(a, ElementsAre("vi", "vim", "gvim")) << "the copy shares nothing";
}

// A moved list keeps its buffers, which is what lets a search's answer travel
// to the screen without a copy; a copy has buffers of its own.
TEST(NameListTest, MovesItsBuffersRatherThanCopyingThem) {
    NameList list;
    for (int i = 0; i < 5000; ++i) {
        list.push_back("package-" + std::to_string(100000 + i));
    }
    const char* bytes = NameListProbe::storage(list);
    ASSERT_NE(bytes, nullptr);
    NameList moved = std::move(list);
    EXPECT_EQ(NameListProbe::storage(moved), bytes);
    EXPECT_EQ(moved[4999], "package-104999");
    const NameList copy = moved;
    EXPECT_NE(NameListProbe::storage(copy), bytes);
    EXPECT_TRUE(copy == moved);
}

}  // namespace
}  // namespace pacpick
