#include "queries/name_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../support/name_lists.h"

namespace pacpick {
namespace {

// Names of mixed lengths in any order (as a caller may build a list), added one
// by one or as whole runs, read back unchanged by index, empty names included.
// A cleared list starts afresh and a copy shares nothing with it.
TEST(NameListTest, KeepsAnyOrderOfNamesOfAnyLengthAddedAloneOrAsRuns) {
    std::mt19937 rng(3);
    std::vector<std::string> names;
    NameList list;
    for (int i = 0; i < 500; ++i) {
        const size_t length = rng() % 3 == 0 ? names.empty() ? 0 : names.back().size() : rng() % 9;
        if (rng() % 8 == 0) {
            NameRun run(length);  // now and then empty: nothing to add
            for (int k = int(rng() % 40); k > 0; --k) {
                names.emplace_back(length, char('a' + rng() % 26));
                run.push_back(names.back());
            }
            list.append(std::move(run));
        } else {
            names.emplace_back(length, char('a' + rng() % 26));
            list.push_back(names.back());
        }
    }
    ASSERT_EQ(list.size(), names.size());
    EXPECT_EQ(strings_of(list), names);
    const NameList copy = list;
    list.clear();
    EXPECT_TRUE(list.empty());
    list.push_back("after");
    EXPECT_EQ(strings_of(list), std::vector<std::string>{"after"});
    EXPECT_EQ(strings_of(copy), names);
}

}  // namespace
}  // namespace pacpick
