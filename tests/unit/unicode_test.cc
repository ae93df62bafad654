#include "text/unicode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "text/utf8.h"

namespace pacpick::text {
namespace {

std::string utf8(char32_t ch) {
    std::string out;
    append_utf8(out, ch);
    return out;
}

TEST(ToLowerTest, LowersAsciiAndLeavesEverythingElseAlone) {
    EXPECT_EQ(to_lower("Vim-Plugins_2.0 @[]`{}"), "vim-plugins_2.0 @[]`{}");
    EXPECT_EQ(to_lower(""), "");
}

TEST(ToLowerTest, UsesTheSimpleMappingBeyondAscii) {
    EXPECT_EQ(to_lower("\xC3\x84RGER"), "\xC3\xA4rger");                          // ÄRGER
    EXPECT_EQ(to_lower("\xD0\x9F\xD0\xA0\xD0\x98"), "\xD0\xBF\xD1\x80\xD0\xB8");  // ПРИ
    EXPECT_EQ(to_lower("\xE2\x84\xAA"), "k");                                     // Kelvin sign
    EXPECT_EQ(to_lower(utf8(0x10400)), utf8(0x10428));                            // Deseret
    EXPECT_EQ(to_lower(utf8(0x13A0)), utf8(0xAB70));                              // Cherokee
    EXPECT_EQ(to_lower(utf8(0x01C5)), utf8(0x01C6));                              // title case Dž
    EXPECT_EQ(to_lower(utf8(0x0178)), utf8(0x00FF));                              // Ÿ
    EXPECT_EQ(to_lower(utf8(0x0131)), utf8(0x0131));                              // dotless ı
    EXPECT_EQ(to_lower("\xC3\x9F"), "\xC3\x9F");                                  // ß stays
}

// Alternating capital/small pairs are stored as runs with a stride of two; both
// ends of a run and the small letters inside it must come out right.
TEST(ToLowerTest, HandlesAlternatingPairsAtTheEdgesOfTheirRuns) {
    EXPECT_EQ(to_lower(utf8(0x0100)), utf8(0x0101));
    EXPECT_EQ(to_lower(utf8(0x0101)), utf8(0x0101));
    EXPECT_EQ(to_lower(utf8(0x012E)), utf8(0x012F));
    EXPECT_EQ(to_lower(utf8(0x012F)), utf8(0x012F));
    EXPECT_EQ(to_lower(utf8(0x0460)), utf8(0x0461));
    EXPECT_EQ(to_lower(utf8(0x0480)), utf8(0x0481));
}

TEST(ToLowerTest, ExpandsCapitalIWithDotAboveToTwoCharacters) {
    EXPECT_EQ(to_lower("\xC4\xB0stanbul"), "i\xCC\x87stanbul");
}

TEST(ToLowerTest, ChoosesFinalOrMedialSigmaFromTheSurroundingLetters) {
    const std::string sigma = "\xCE\xA3";   // Σ
    const std::string medial = "\xCF\x83";  // σ
    const std::string final = "\xCF\x82";   // ς
    const std::string alpha = "\xCE\x91";   // Α
    const std::string alpha_small = "\xCE\xB1";

    EXPECT_EQ(to_lower(alpha + sigma), alpha_small + final);
    EXPECT_EQ(to_lower(alpha + sigma + alpha), alpha_small + medial + alpha_small);
    EXPECT_EQ(to_lower(sigma), medial) << "nothing cased before it";
    EXPECT_EQ(to_lower(sigma + alpha), medial + alpha_small);
    EXPECT_EQ(to_lower("A" + sigma), "a" + final) << "any script counts as cased";
    EXPECT_EQ(to_lower(alpha + sigma + " x"), alpha_small + final + " x")
        << "a space ends the word";
    EXPECT_EQ(to_lower("A " + sigma), "a " + medial);
    // Case-ignorable characters are looked through on both sides.
    EXPECT_EQ(to_lower(alpha + "'" + sigma), alpha_small + "'" + final);
    EXPECT_EQ(to_lower(alpha + sigma + "."), alpha_small + final + ".");
    EXPECT_EQ(to_lower(alpha + sigma + "'" + alpha), alpha_small + medial + "'" + alpha_small);
    EXPECT_EQ(to_lower(alpha + sigma + "\xCC\x81" + "b"), alpha_small + medial + "\xCC\x81" + "b");
    // U+0345 is both cased and case-ignorable, so it counts as the cased letter.
    EXPECT_EQ(to_lower(" \xCD\x85" + sigma), " \xCD\x85" + final);
    EXPECT_EQ(to_lower(alpha + sigma + sigma), alpha_small + medial + final);
}

TEST(ToLowerTest, LowersIllFormedInputAsItsLossyDecoding) {
    EXPECT_EQ(to_lower("AB\xFF\xC3\x84"), "ab\xEF\xBF\xBD\xC3\xA4");
    EXPECT_EQ(to_lower("\xCE\x91\xCE\xA3\x80"), "\xCE\xB1\xCF\x82\xEF\xBF\xBD");
}

TEST(WhiteSpaceTest, KnowsTheWhiteSpaceCharacters) {
    for (char32_t ch : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A,
                        0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
        EXPECT_EQ(trim_white_space(utf8(ch)), "") << std::hex << uint32_t(ch);
    }
    for (char32_t ch : {0x00, 0x08, 0x0E, 0x1F, 0x21, 0x84, 0x200B, 0x180E, 0xFEFF, 0x2060}) {
        EXPECT_EQ(trim_white_space(utf8(ch)), utf8(ch)) << std::hex << uint32_t(ch);
    }
}

TEST(TrimWhiteSpaceTest, RemovesWhiteSpaceOfAnyKindFromBothEndsOnly) {
    EXPECT_EQ(trim_white_space("  foo\r"), "foo");
    EXPECT_EQ(trim_white_space("\xE3\x80\x80\tfoo bar\xC2\xA0\xC2\x85"), "foo bar");
    EXPECT_EQ(trim_white_space("foo"), "foo");
    EXPECT_EQ(trim_white_space(" \t\xE2\x80\xA8 "), "");
    EXPECT_EQ(trim_white_space(""), "");
    EXPECT_EQ(trim_white_space(" \xC3\xA4 "), "\xC3\xA4");
}

TEST(TrimWhiteSpaceTest, StopsAtIllFormedBytes) {
    EXPECT_EQ(trim_white_space(" \x85 "), "\x85") << "a lone continuation byte is not U+0085";
    EXPECT_EQ(trim_white_space(" foo\xC2"), "foo\xC2");
    EXPECT_EQ(trim_white_space("\xA0\xA0"), "\xA0\xA0");
}

TEST(UppercaseTest, FollowsTheUppercasePropertyNotJustLetters) {
    for (char32_t ch :
         {U'A', U'Z', U'\u00C4', U'\u03A3', U'\u0130', U'\u2160', U'\U0001F130', U'\U00010400'}) {
        EXPECT_TRUE(is_uppercase(ch)) << std::hex << uint32_t(ch);
    }
    for (char32_t ch :
         {U'a', U'z', U'@', U'[', U'1', U' ', U'\u00E4', U'\u01C5', U'\u00DF', U'\u4E00'}) {
        EXPECT_FALSE(is_uppercase(ch)) << std::hex << uint32_t(ch);
    }
}

// Checks every code point against the Unicode Character Database the tables
// were generated from, when it is installed (Debian's unicode-data package):
// this catches a generator or lookup mistake anywhere, not just at the points
// sampled above.
class UnicodeDatabaseTest : public testing::Test {
  protected:
    static constexpr const char* k_dir = "/usr/share/unicode/";

    static std::vector<std::vector<std::string>> records(const std::string& name) {
        std::ifstream in(k_dir + name);
        std::vector<std::vector<std::string>> out;
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            if (line.find(';') == std::string::npos) {
                continue;
            }
            std::vector<std::string> fields;
            std::stringstream ss(line);
            std::string field;
            while (std::getline(ss, field, ';')) {
                const auto first = field.find_first_not_of(' ');
                const auto last = field.find_last_not_of(' ');
                fields.push_back(
                    first == std::string::npos ? "" : field.substr(first, last - first + 1));
            }
            out.push_back(fields);
        }
        return out;
    }

    static std::set<char32_t> property(const std::string& file, const std::string& name) {
        std::set<char32_t> points;
        for (const auto& f : records(file)) {
            if (f.size() < 2 || f[1] != name) {
                continue;
            }
            const auto dots = f[0].find("..");
            const auto first = char32_t(std::stoul(f[0].substr(0, dots), nullptr, 16));
            const auto last = dots == std::string::npos
                                  ? first
                                  : char32_t(std::stoul(f[0].substr(dots + 2), nullptr, 16));
            for (char32_t c = first; c <= last; ++c) {
                points.insert(c);
            }
        }
        return points;
    }

    static std::vector<char32_t> scalars(const std::string& hex_list) {
        std::vector<char32_t> out;
        std::stringstream ss(hex_list);
        std::string hex;
        while (ss >> hex) {
            out.push_back(char32_t(std::stoul(hex, nullptr, 16)));
        }
        return out;
    }

    // The version src/text/unicode_tables.cc was generated from: another
    // database differs by its new characters, not by a fault here.
    static constexpr const char* k_tables_version = "15.0.0";

    void SetUp() override {
        if (!std::ifstream(std::string(k_dir) + "UnicodeData.txt")) {
            GTEST_SKIP() << "the Unicode Character Database is not installed";
        }
        std::string heading;
        std::getline(std::ifstream(std::string(k_dir) + "DerivedCoreProperties.txt"), heading);
        if (heading != std::string("# DerivedCoreProperties-") + k_tables_version + ".txt") {
            GTEST_SKIP() << "the installed database is not the tables' " << k_tables_version << ": "
                         << heading;
        }
    }
};

TEST_F(UnicodeDatabaseTest, EveryCodePointLowerCasesAsTheDatabaseSays) {
    std::map<char32_t, std::string> expected;
    for (const auto& f : records("UnicodeData.txt")) {
        if (f.size() > 13 && !f[13].empty()) {
            expected[char32_t(std::stoul(f[0], nullptr, 16))] = utf8(scalars(f[13]).at(0));
        }
    }
    for (const auto& f : records("SpecialCasing.txt")) {
        if (f.size() > 4 && !f[4].empty()) {
            continue;  // conditional mappings
        }
        std::string lower;
        for (char32_t c : scalars(f[1])) {
            append_utf8(lower, c);
        }
        expected[char32_t(std::stoul(f[0], nullptr, 16))] = lower;
    }
    ASSERT_GT(expected.size(), 1000u);
    int mismatches = 0;
    for (char32_t c = 0; c <= 0x10FFFF && mismatches < 10; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        const auto it = expected.find(c);
        const std::string want = it == expected.end() ? utf8(c) : it->second;
        if (to_lower(utf8(c)) != want) {
            ++mismatches;
            ADD_FAILURE() << "U+" << std::hex << uint32_t(c);
        }
    }
}

TEST_F(UnicodeDatabaseTest, PropertiesMatchTheDatabase) {
    const auto white_space = property("PropList.txt", "White_Space");
    const auto uppercase = property("DerivedCoreProperties.txt", "Uppercase");
    const auto cased = property("DerivedCoreProperties.txt", "Cased");
    const auto ignorable = property("DerivedCoreProperties.txt", "Case_Ignorable");
    ASSERT_FALSE(white_space.empty());
    ASSERT_FALSE(uppercase.empty());
    ASSERT_FALSE(cased.empty());
    ASSERT_FALSE(ignorable.empty());

    const std::string alpha = "\xCE\x91";
    const std::string final = "\xCF\x82";
    int mismatches = 0;
    for (char32_t c = 0; c <= 0x10FFFF && mismatches < 10; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        const bool is_cased = cased.count(c) > 0;
        const bool is_ignorable = ignorable.count(c) > 0;
        // The sigma rule is where Cased and Case_Ignorable become visible: a
        // cased or ignorable character before Σ keeps it final, and only a cased
        // one after it makes it medial.
        const std::string before = to_lower(alpha + utf8(c) + "\xCE\xA3");
        const std::string after = to_lower(alpha + "\xCE\xA3" + utf8(c));
        const bool final_before = before.ends_with(final);
        const bool medial_after = after.compare(2, final.size(), final) != 0;  // after "α"
        if (trim_white_space(utf8(c)).empty() != (white_space.count(c) > 0) ||
            is_uppercase(c) != (uppercase.count(c) > 0) ||
            final_before != (is_cased || is_ignorable) || medial_after != is_cased) {
            ++mismatches;
            ADD_FAILURE() << "U+" << std::hex << uint32_t(c);
        }
    }
}

}  // namespace
}  // namespace pacpick::text
