#include "queries/filter.h"

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

TEST(FilterPackageNamesTest, MatchesCaseInsensitivelyAndListsShortestFirst) {
    EXPECT_THAT(filter_package_names("neovim\nemacs\ngvim\nvim\nvim-airline\n", "Vim"),
                ElementsAre("vim", "gvim", "neovim", "vim-airline"));
    EXPECT_THAT(filter_package_names("NeoVim\nGVIM\n", "vIM"), ElementsAre("GVIM", "NeoVim"))
        << "names are shown as listed, not lower-cased";
}

TEST(FilterPackageNamesTest, OrdersEqualLengthsByUnsignedBytes) {
    EXPECT_THAT(filter_package_names("abc\na_b\na-b\n", ""), ElementsAre("a-b", "a_b", "abc"));
    EXPECT_THAT(filter_package_names("\xC3\xA4\nzz\nab\n", ""), ElementsAre("ab", "zz", "\xC3\xA4"))
        << "bytes above 0x7F sort after ASCII";
}

TEST(FilterPackageNamesTest, ListsANameFromSeveralRepositoriesOnce) {
    EXPECT_THAT(filter_package_names("vim\nfoo\nvim\n  vim \n", ""), ElementsAre("foo", "vim"));
}

TEST(FilterPackageNamesTest, TrimsWhiteSpaceAndSkipsEmptyLines) {
    EXPECT_THAT(filter_package_names("  foo\r\n", ""), ElementsAre("foo"));
    EXPECT_THAT(filter_package_names("a\n   \n\n\t\r\nb\n", ""), ElementsAre("a", "b"));
    EXPECT_THAT(filter_package_names("\xE3\x80\x80lib\xC2\xA0\n", "lib"), ElementsAre("lib"));
    EXPECT_THAT(filter_package_names("last-without-newline", "last"),
                ElementsAre("last-without-newline"));
    EXPECT_THAT(filter_package_names("", ""), IsEmpty());
    EXPECT_THAT(filter_package_names("\n\n", ""), IsEmpty());
    EXPECT_THAT(filter_package_names("vim\n", "emacs"), IsEmpty());
}

TEST(FilterPackageNamesTest, MatchesTheQueryAsTypedWithoutTrimmingIt) {
    const std::string output = "foo bar\nbar\nfoobar\n";
    EXPECT_THAT(filter_package_names(output, " bar"), ElementsAre("foo bar"));
    EXPECT_THAT(filter_package_names(output, "bar "), IsEmpty())
        << "names lose their trailing white space";
    EXPECT_THAT(filter_package_names(output, "bar"), ElementsAre("bar", "foobar", "foo bar"));
}

TEST(FilterPackageNamesTest, ReadsIllFormedOutputWithReplacementCharacters) {
    const std::string output = "caf\xC3\n\xFFvim\nvim\n";
    EXPECT_THAT(filter_package_names(output, "vim"), ElementsAre("vim", "\xEF\xBF\xBDvim"));
    EXPECT_THAT(filter_package_names(output, "\xEF\xBF\xBD"),
                ElementsAre("caf\xEF\xBF\xBD", "\xEF\xBF\xBDvim"));
}

TEST(FilterPackageNamesTest, LowerCasesBeyondAscii) {
    EXPECT_THAT(filter_package_names("\xC3\x84rger\n\xC3\xA4rger\narger\n", "\xC3\x84"),
                ElementsAre("\xC3\x84rger", "\xC3\xA4rger"));
    // Final and medial sigma are different letters once lower-cased.
    const std::string names =
        "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\n"                      // ΟΔΟΣ
        "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\xCE\x91\n";             // ΟΔΟΣΑ
    EXPECT_THAT(filter_package_names(names, "\xCE\xBF\xCF\x82"),  // ος
                ElementsAre("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"));
    EXPECT_THAT(filter_package_names(names, "\xCE\xBF\xCF\x83"),  // οσ
                ElementsAre("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\xCE\x91"));
    // İ lower-cases to i and a combining dot, so plain i finds it but İ does not
    // find a plain i.
    const std::string cities = "\xC4\xB0zmir\nizmir\n";
    EXPECT_THAT(filter_package_names(cities, "\xC4\xB0"), ElementsAre("\xC4\xB0zmir"));
    EXPECT_THAT(filter_package_names(cities, "iz"), ElementsAre("izmir"));
    EXPECT_THAT(filter_package_names(cities, "i"), ElementsAre("izmir", "\xC4\xB0zmir"));
    // A non-ASCII query whose lower-case form is ASCII (the Kelvin sign) still
    // finds ASCII names.
    EXPECT_THAT(filter_package_names("kde\nvim\n", "\xE2\x84\xAA"), ElementsAre("kde"));
}

// Many names cross the switch from insertion sort to merge sort; the result must
// still be each matching name once, in display order.
TEST(FilterPackageNamesTest, SortsAndDeduplicatesLargeLists) {
    std::mt19937 rng(7);
    std::vector<std::string> expected;
    std::string output;
    for (int i = 0; i < 500; ++i) {
        std::string name(1 + rng() % 6, 'a');
        for (char& c : name) {
            c = "ab-_X"[rng() % 5];
        }
        output += name + "\n";
        std::string lower = name;
        std::replace(lower.begin(), lower.end(), 'X', 'x');
        if (lower.find("a-") != std::string::npos) {
            expected.push_back(name);
        }
    }
    auto before = [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    };
    std::sort(expected.begin(), expected.end(), before);
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    ASSERT_GT(expected.size(), 20u);
    EXPECT_EQ(filter_package_names(output, "A-"), expected);
}

// An ASCII catalog is searched as a whole rather than line by line; one
// non-ASCII name that matches nothing sends the same catalog down the line-by-line
// road, and both must keep exactly the same names.
TEST(FilterPackageNamesTest, WholeCatalogAndLineByLineSearchesAgree) {
    std::mt19937 rng(11);
    const char alphabet[] = "abAB- \t\r";
    for (int round = 0; round < 300; ++round) {
        std::string catalog;
        const int lines = 1 + int(rng() % 30);
        for (int i = 0; i < lines; ++i) {
            const int length = int(rng() % 7);
            for (int k = 0; k < length; ++k) {
                catalog += alphabet[rng() % (sizeof alphabet - 1)];
            }
            catalog += rng() % 4 == 0 ? "\r\n" : "\n";
        }
        if (rng() % 3 == 0) {
            catalog.pop_back();  // no newline at the end
        }
        std::string query;
        const int length = 1 + int(rng() % 3);
        for (int k = 0; k < length; ++k) {
            query += alphabet[rng() % (sizeof alphabet - 1)];
        }
        SCOPED_TRACE(testing::PrintToString(catalog) + " / " + testing::PrintToString(query));
        EXPECT_EQ(filter_package_names(catalog, query),
                  filter_package_names(catalog + "\n\xC3\xA4\n", query));
    }
    EXPECT_THAT(filter_package_names("a\nb\n", "a\nb"), IsEmpty());
    EXPECT_THAT(filter_package_names("a\nb\n\xC3\xA4", "a\nb"), IsEmpty());
}

// Catalogs of real size are searched in pieces; a name cut by a piece's edge, a
// line longer than any piece, and lines ending exactly on an edge must all be
// judged as line by line would.
TEST(FilterPackageNamesTest, LargeCatalogsKeepTheSameNamesAsLineByLine) {
    std::mt19937 rng(63000);
    const char* const parts[] = {"vim", "Vim", "lib", "PYTHON", "-", "gtk", "a", "  ", "\t", "x"};
    std::vector<std::string> catalogs;
    std::string varied;
    while (varied.size() < 300 * 1024) {
        const int count = 1 + int(rng() % 6);
        for (int k = 0; k < count; ++k) {
            varied += parts[rng() % std::size(parts)];
        }
        varied += rng() % 5 == 0 ? "\r\n" : "\n";
    }
    catalogs.push_back(varied);
    // 16 and 17 bytes a line: one puts a line feed on every power-of-two edge,
    // the other cuts names there.
    for (const std::string line : {"python-vim-abc\n", "python-vim-abcd\n", "Xvimlib-python-a\n"}) {
        std::string uniform;
        while (uniform.size() < 200 * 1024) {
            uniform += line;
        }
        catalogs.push_back(uniform);
    }
    // One line longer than anything read at once, with the query at its far end.
    catalogs.push_back("vim\n" + std::string(150 * 1024, 'a') + "VIM\nlast-vim");

    for (const std::string& catalog : catalogs) {
        for (const char* query : {"vim", "V", "a-", "-a", "python-vim", "nothing"}) {
            SCOPED_TRACE(std::string("query ") + query);
            const std::vector<std::string> by_line =
                filter_package_names(catalog + "\n\xC3\xA4\n", query);
            EXPECT_EQ(filter_package_names(catalog, query), by_line);
        }
    }
    const std::string longest = std::string(150 * 1024, 'a') + "VIM";
    EXPECT_THAT(filter_package_names(catalogs.back(), "vim"),
                ElementsAre("vim", "last-vim", longest));
}

// Equal names are told apart by where they sit in one buffer, which makes the
// order among equals visible.
TEST(SortPackageNamesTest, KeepsEqualNamesInTheirOriginalOrderBelowAndAboveTwentyNames) {
    for (size_t count : {2u, 7u, 20u, 21u, 40u, 41u, 333u, 5000u}) {
        std::mt19937 rng{static_cast<unsigned>(count)};
        std::string storage;
        std::vector<std::pair<size_t, size_t>> spans;
        for (size_t i = 0; i < count; ++i) {
            const std::string name = std::string(1 + rng() % 3, "ab"[rng() % 2]);
            spans.emplace_back(storage.size(), name.size());
            storage += name;
        }
        std::vector<std::string_view> names;
        for (auto [offset, length] : spans) {
            names.push_back(std::string_view(storage).substr(offset, length));
        }
        std::vector<std::string_view> expected = names;
        std::stable_sort(expected.begin(), expected.end(),
                         [](std::string_view a, std::string_view b) {
                             return a.size() != b.size() ? a.size() < b.size() : a < b;
                         });

        sort_package_names(names);
        SCOPED_TRACE(count);
        ASSERT_EQ(names.size(), expected.size());
        for (size_t i = 0; i < names.size(); ++i) {
            ASSERT_EQ(names[i].data(), expected[i].data()) << "position " << i;
        }
    }
}

}  // namespace
}  // namespace pacpick
