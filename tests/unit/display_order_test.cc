#include "queries/display_order.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../support/name_lists.h"

namespace pacpick {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

bool display_before(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;  // char_traits compare unsigned
}

std::vector<std::string> sorted_once(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), display_before);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

/// Names of `length` bytes from a small alphabet (so that repeats are common),
/// with bytes above 0x7F among them to show the comparison is unsigned.
std::string random_name(std::mt19937& rng, size_t length) {
    static const char alphabet[] = {'a', 'b', 'z', '-', '\x7F', '\x80', '\xC3', '\xFF'};
    std::string name(length, 'a');
    for (char& c : name) {
        c = alphabet[rng() % sizeof alphabet];
    }
    return name;
}

// Sorted runs as repositories list them, one run, a wholly descending list,
// runs in descending order and plain disorder, of names from one byte to a
// few hundred: every arrangement must come out sorted and without repeats.
TEST(DisplayOrderBuilderTest, SortsAnyArrangementOfRunsAndDropsRepeats) {
    std::mt19937 rng(5);
    for (size_t length : {1u, 2u, 3u, 7u, 16u, 260u}) {
        for (size_t runs : {1u, 2u, 3u, 4u, 7u}) {
            for (size_t count : {0u, 1u, 2u, 3u, 10u, 101u, 2000u}) {
                std::vector<std::string> names;
                for (size_t r = 0; r < runs; ++r) {
                    std::vector<std::string> run;
                    for (size_t i = 0; i < count / runs + (r < count % runs ? 1 : 0); ++i) {
                        run.push_back(random_name(rng, length));
                    }
                    std::sort(run.begin(), run.end());
                    if ((runs == 7 && r % 2 == 1) || (runs == 1 && length == 3)) {
                        std::reverse(run.begin(), run.end());  // a descending stretch
                    }
                    names.insert(names.end(), run.begin(), run.end());
                }
                DisplayOrderBuilder builder;
                for (const std::string& name : names) {
                    builder.add(name);
                }
                SCOPED_TRACE(testing::Message()
                             << length << " bytes, " << runs << " runs, " << count << " names");
                const NameList list = builder.take();
                ASSERT_EQ(strings_of(list), sorted_once(names));
            }
        }
    }
}

TEST(DisplayOrderBuilderTest, GivesNamesShortestFirstThenByBytesEachOnce) {
    DisplayOrderBuilder builder;
    for (const char* name :
         {"vim", "gvim", "vi", "neovim", "vim", "", "a", "gvim", "\xC3\xA4", "zz"}) {
        builder.add(name);
    }
    const NameList list = builder.take();
    EXPECT_THAT(strings_of(list),
                ElementsAre("a", "vi", "zz", "\xC3\xA4", "vim", "gvim", "neovim"));
    EXPECT_THAT(strings_of(builder.take()), IsEmpty()) << "taking empties the builder";
    builder.add("again");
    EXPECT_THAT(strings_of(builder.take()), ElementsAre("again"));
}

}  // namespace
}  // namespace pacpick
