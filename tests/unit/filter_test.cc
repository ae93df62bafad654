#include "queries/filter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../support/name_lists.h"
#include "text/lines.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace pacpick {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

std::vector<std::string> filtered(std::string_view output, std::string_view query) {
    NameFilter filter(query);
    filter.feed(output);
    return strings_of(filter.finish());
}

/// The plain way to read a listing, used as the oracle: decode all of it, then
/// line by line trim, lower-case and look for the query; sort and drop repeats.
std::vector<std::string> whole_listing_filter(std::string_view output, std::string_view query) {
    const std::string text = text::decode_lossy(output);
    const std::string needle = text::to_lower(query);
    std::vector<std::string> kept;
    text::for_each_line(text, [&](std::string_view line) {
        const std::string_view name = text::trim_white_space(line);
        if (!name.empty() && text::to_lower(name).find(needle) != std::string::npos) {
            kept.emplace_back(name);
        }
    });
    std::sort(kept.begin(), kept.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    return kept;
}

/// `output` fed to a filter in the pieces that `cuts` (ascending offsets) make.
std::vector<std::string> filter_in_pieces(std::string_view output, std::string_view query,
                                          const std::vector<size_t>& cuts) {
    NameFilter filter(query);
    size_t from = 0;
    for (size_t cut : cuts) {
        filter.feed(output.substr(from, cut - from));
        from = cut;
    }
    filter.feed(output.substr(from));
    return strings_of(filter.finish());
}

TEST(FilterPackageNamesTest, MatchesCaseInsensitivelyAndListsEachNameOnceShortestFirst) {
    EXPECT_THAT(filtered("neovim\nemacs\ngvim\nvim\nvim-airline\n", "Vim"),
                ElementsAre("vim", "gvim", "neovim", "vim-airline"));
    EXPECT_THAT(filtered("NeoVim\nGVIM\n", "vIM"), ElementsAre("GVIM", "NeoVim"))
        << "names are shown as listed, not lower-cased";
    // The ends of the capitals, and the bytes just past them.
    EXPECT_THAT(filtered("Ape\nZap\na[b\na@b\n", "a"), ElementsAre("Ape", "Zap", "a@b", "a[b"));
    EXPECT_THAT(filtered("Zap\na[b\na{b\n", "z"), ElementsAre("Zap"));
    EXPECT_THAT(filtered("a[b\na{b\n", "{"), ElementsAre("a{b"));
    // Equal lengths in the order of their unsigned bytes, each name once.
    EXPECT_THAT(filtered("abc\na_b\na-b\n\xC3\xA4\nzz\n", ""),
                ElementsAre("zz", "\xC3\xA4", "a-b", "a_b", "abc"));
    EXPECT_THAT(filtered("vim\nfoo\nvim\n  vim \n", ""), ElementsAre("foo", "vim"));
    EXPECT_THAT(filtered("a-vim\nb-vim\nvim\na-vim\nvim\nz-vim\n", "vim"),
                ElementsAre("vim", "a-vim", "b-vim", "z-vim"));
}

TEST(FilterPackageNamesTest, TrimsWhiteSpaceAndSkipsEmptyLines) {
    EXPECT_THAT(filtered("  foo\r\n", ""), ElementsAre("foo"));
    EXPECT_THAT(filtered("a\n   \n\n\t\r\nb\n", ""), ElementsAre("a", "b"));
    EXPECT_THAT(filtered("\xE3\x80\x80lib\xC2\xA0\n", "lib"), ElementsAre("lib"));
    EXPECT_THAT(filtered("last-without-newline", "last"), ElementsAre("last-without-newline"));
    EXPECT_THAT(filtered("", ""), IsEmpty());
    EXPECT_THAT(filtered("\n\n", ""), IsEmpty());
    EXPECT_THAT(filtered("vim\n", "emacs"), IsEmpty());
}

TEST(FilterPackageNamesTest, MatchesTheQueryAsTypedWithoutTrimmingIt) {
    const std::string output = "foo bar\nbar\nfoobar\n";
    EXPECT_THAT(filtered(output, " bar"), ElementsAre("foo bar"));
    EXPECT_THAT(filtered(output, "bar "), IsEmpty()) << "names lose their trailing white space";
    EXPECT_THAT(filtered(output, "bar"), ElementsAre("bar", "foobar", "foo bar"));
    EXPECT_THAT(filtered("a\nb\n", "a\nb"), IsEmpty()) << "no name holds a line feed";
    EXPECT_THAT(filtered(" a a\n", " a"), ElementsAre("a a")) << "found past white space cut off";
}

TEST(FilterPackageNamesTest, ReadsIllFormedOutputWithReplacementCharacters) {
    const std::string output = "caf\xC3\n\xFFvim\nvim\n";
    EXPECT_THAT(filtered(output, "vim"), ElementsAre("vim", "\xEF\xBF\xBDvim"));
    EXPECT_THAT(filtered(output, "\xEF\xBF\xBD"),
                ElementsAre("caf\xEF\xBF\xBD", "\xEF\xBF\xBDvim"));
}

TEST(FilterPackageNamesTest, LowerCasesBeyondAscii) {
    EXPECT_THAT(filtered("\xC3\x84rger\n\xC3\xA4rger\narger\n", "\xC3\x84"),
                ElementsAre("\xC3\x84rger", "\xC3\xA4rger"));
    // Final and medial sigma are different letters once lower-cased.
    const std::string names =
        "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\n"           // ΟΔΟΣ
        "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\xCE\x91\n";  // ΟΔΟΣΑ
    EXPECT_THAT(filtered(names, "\xCE\xBF\xCF\x82"),   // ος
                ElementsAre("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"));
    EXPECT_THAT(filtered(names, "\xCE\xBF\xCF\x83"),  // οσ
                ElementsAre("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\xCE\x91"));
    // İ lower-cases to i and a combining dot, so plain i finds it but İ does not
    // find a plain i.
    const std::string cities = "\xC4\xB0zmir\nizmir\n";
    EXPECT_THAT(filtered(cities, "\xC4\xB0"), ElementsAre("\xC4\xB0zmir"));
    EXPECT_THAT(filtered(cities, "iz"), ElementsAre("izmir"));
    EXPECT_THAT(filtered(cities, "i"), ElementsAre("izmir", "\xC4\xB0zmir"));
    // A non-ASCII query whose lower-case form is ASCII (the Kelvin sign) still
    // finds ASCII names.
    EXPECT_THAT(filtered("kde\nvim\n", "\xE2\x84\xAA"), ElementsAre("kde"));
}

// A name whose pieces arrive in separate reads, even with a character cut in
// two, is judged whole; so is the last line when no line feed follows it.
TEST(NameFilterTest, JoinsALineCutBetweenPieces) {
    NameFilter filter("\xC3\xA4");
    for (std::string_view piece : {"b\xC3", "\xA4r\nfoo\r", "\nB\xC3\x84", "ren"}) {
        filter.feed(piece);
    }
    EXPECT_THAT(strings_of(filter.finish()), ElementsAre("b\xC3\xA4r", "B\xC3\x84ren"));

    NameFilter every("");
    for (std::string_view piece : {"", "a", "", "\n", "b\r", "\n", "", "c"}) {
        every.feed(piece);
    }
    EXPECT_THAT(strings_of(every.finish()), ElementsAre("a", "b", "c"));
}

// The differential check: catalogs made of what package lists may hold (case
// pairs, final sigma, dotted capital I, the Kelvin sign, Unicode white space,
// ill-formed bytes, CR/LF, blank lines, names in several sorted repositories and
// in more than one), cut into two pieces at every position and into random and
// one-byte pieces, must give what the whole-listing oracle gives.
TEST(NameFilterTest, AgreesWithTheWholeListingOracleHoweverTheOutputIsCut) {
    // One per bar: the tokens names are made of.
    const std::string_view all =
        "a|b|e|E|vim|VIM|-|x| |\t|\r|\xC2\xA0|\xE3\x80\x80|\xC2\x85|\xC3\x84|\xC3\xA4|"
        "\xCE\xA3|\xCF\x83|\xCF\x82|\xCE\x91|\xC4\xB0|i|\xE2\x84\xAA|k|\xC3\x9F|"
        "\xE1\xBA\x9E|\xFF|\xC3|\xE2\x82|\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xF0\x9F\x98";
    std::vector<std::string> tokens;
    for (size_t from = 0, bar = 0; bar != all.npos; from = bar + 1) {
        bar = all.find('|', from);
        tokens.emplace_back(all.substr(from, bar == all.npos ? all.npos : bar - from));
    }
    std::mt19937 rng(20250601);
    auto token = [&] { return tokens[rng() % tokens.size()]; };
    auto random_name = [&] {
        std::string name;
        for (int k = 1 + int(rng() % 4); k > 0; --k) {
            name += token();
        }
        return name;
    };

    size_t compared = 0;
    for (int round = 0; round < 500; ++round) {
        std::vector<std::string> pool;
        for (int i = 2 + int(rng() % 8); i > 0; --i) {
            pool.push_back(random_name());
        }
        // Two or three repositories, each sorted, sharing some names; now and
        // then one that is not sorted at all.
        std::string catalog;
        const int repositories = 1 + int(rng() % 3);
        for (int r = 0; r < repositories; ++r) {
            std::vector<std::string> repository;
            for (const std::string& name : pool) {
                if (rng() % 2 == 0) {
                    repository.push_back(name);
                }
            }
            if (rng() % 5 != 0) {
                std::sort(repository.begin(), repository.end());
            }
            for (const std::string& name : repository) {
                catalog += name;
                const unsigned ending = rng() % 8;
                catalog += ending == 0 ? "\r\n" : ending == 1 ? "\n\n" : ending == 2 ? " \n" : "\n";
            }
        }
        if (rng() % 3 == 0 && !catalog.empty()) {
            catalog.pop_back();  // the last line without its line feed
        }

        std::vector<std::string> queries = {"", token(), token() + token()};
        if (!pool.empty()) {
            const std::string& name = pool[rng() % pool.size()];
            const size_t from = rng() % (name.size() + 1);
            queries.push_back(name.substr(from, 1 + rng() % 4));
        }
        for (const std::string& query : queries) {
            SCOPED_TRACE(testing::PrintToString(catalog) + " / " + testing::PrintToString(query));
            const std::vector<std::string> expected = whole_listing_filter(catalog, query);
            ASSERT_EQ(filtered(catalog, query), expected);
            for (size_t cut = 0; cut <= catalog.size(); ++cut) {
                ASSERT_EQ(filter_in_pieces(catalog, query, {cut}), expected) << "cut at " << cut;
            }
            std::vector<size_t> every_byte;
            for (size_t cut = 1; cut < catalog.size(); ++cut) {
                every_byte.push_back(cut);
            }
            ASSERT_EQ(filter_in_pieces(catalog, query, every_byte), expected) << "one byte a piece";
            std::vector<size_t> random_cuts;
            for (size_t cut = 0; cut < catalog.size(); cut += 1 + rng() % 7) {
                random_cuts.push_back(cut);
            }
            ASSERT_EQ(filter_in_pieces(catalog, query, random_cuts), expected) << "random pieces";
            compared += catalog.size() + 3;
        }
    }
    EXPECT_GT(compared, 50000u) << "the catalogs are big enough to cut in many places";
}

// Listings of real size pass block edges inside the filter; a name cut by such
// an edge, a line longer than any block, and lines ending exactly on an edge
// must all be judged as the oracle judges them, fed whole or as a pipe delivers.
TEST(NameFilterTest, LargeListingsAgreeWithTheOracle) {
    std::mt19937 rng(63000);
    const char* const parts[] = {"vim", "Vim", "lib", "PYTHON", "-",       "gtk",
                                 "a",   "  ",  "\t",  "x",      "\xC3\x84"};
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
    // One line longer than any block, alone without a line feed, and with the
    // query at its far end.
    catalogs.push_back(std::string(70 * 1024, 'v'));
    catalogs.push_back("vim\n" + std::string(150 * 1024, 'a') + "VIM\nlast-vim");

    for (const std::string& catalog : catalogs) {
        std::vector<size_t> pipe_reads;  // pieces of 1 to 8 KiB, as reads come
        for (size_t cut = 0; cut < catalog.size(); cut += 1024 * (1 + rng() % 8) + rng() % 7) {
            pipe_reads.push_back(cut);
        }
        for (const char* query :
             {"vim", "V", "a-", "-a", "python-vim", "\xC3\xA4", "", "nothing"}) {
            SCOPED_TRACE(std::string("query ") + query);
            const std::vector<std::string> expected = whole_listing_filter(catalog, query);
            EXPECT_EQ(filtered(catalog, query), expected);
            EXPECT_EQ(filter_in_pieces(catalog, query, pipe_reads), expected);
        }
    }
    const std::string longest = std::string(150 * 1024, 'a') + "VIM";
    EXPECT_THAT(filtered(catalogs.back(), "vim"), ElementsAre("vim", "last-vim", longest));
}

}  // namespace
}  // namespace pacpick
