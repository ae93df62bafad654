#include "text/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>

namespace pacpick::text {
namespace {

const std::string k_fffd = "\xEF\xBF\xBD";

std::string repeat_fffd(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += k_fffd;
    }
    return out;
}

// The worked examples of substituting maximal subparts, byte for byte.
TEST(DecodeLossyTest, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
    struct Case {
        std::string bytes;
        std::string decoded;
    };
    const Case cases[] = {
        // Truncated sequences of every length, then stray continuation bytes.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + repeat_fffd(3) + "b" + k_fffd + "c" + repeat_fffd(2) + "d"},
        // Non-shortest forms: every byte stands alone.
        {"\xC0\xAF\xE0\x80\xBF\xF0\x81\x82\x41", repeat_fffd(8) + "A"},
        // Encoded surrogates.
        {"\xED\xA0\x80\xED\xBF\xBF\xED\xAF\x41", repeat_fffd(8) + "A"},
        // Past U+10FFFF and bytes that never occur.
        {"\xF4\x91\x92\x93\xFF\x41\x80\xBF\x42", repeat_fffd(5) + "A" + repeat_fffd(2) + "B"},
        // Truncated sequences next to each other.
        {"\xE1\x80\xE2\xF0\x91\x92\xF1\xBF\x41", repeat_fffd(4) + "A"},
        // A sequence cut off by the end of the input.
        {"ab\xF0\x9F\x98", "ab" + k_fffd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(decode_lossy(c.bytes), c.decoded);
        EXPECT_FALSE(is_valid_utf8(c.bytes));
    }
}

TEST(DecodeLossyTest, AcceptsExactlyTheWellFormedBoundaries) {
    const std::string well_formed[] = {
        "\x7F",
        "\xC2\x80",
        "\xDF\xBF",
        "\xE0\xA0\x80",
        "\xED\x9F\xBF",
        "\xEE\x80\x80",
        "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80",
        "\xF4\x8F\xBF\xBF",
        std::string("\0", 1),
    };
    for (const std::string& s : well_formed) {
        SCOPED_TRACE(testing::PrintToString(s));
        EXPECT_TRUE(is_valid_utf8(s));
        EXPECT_EQ(decode_lossy(s), s);
    }
    const std::string ill_formed[] = {
        "\xC0\x80",         "\xC1\xBF",         "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80",     "\xFF",
    };
    for (const std::string& s : ill_formed) {
        SCOPED_TRACE(testing::PrintToString(s));
        EXPECT_FALSE(is_valid_utf8(s));
        EXPECT_NE(decode_lossy(s), s);
    }
}

TEST(DecodeLossyTest, FindsABadByteAtAnyPositionOfALongAsciiRun) {
    for (size_t pos = 0; pos < 20; ++pos) {
        std::string bytes(20, 'x');
        bytes[pos] = '\x80';
        std::string expected(20, 'x');
        expected.replace(pos, 1, k_fffd);
        SCOPED_TRACE(pos);
        EXPECT_FALSE(is_valid_utf8(bytes));
        EXPECT_EQ(decode_lossy(bytes), expected);
    }
    EXPECT_TRUE(is_valid_utf8(std::string(37, 'x') + "\xC3\xA4" + std::string(9, 'y')));
    EXPECT_TRUE(is_valid_utf8(""));
}

TEST(DecodeLossyViewTest, SparesValidInputTheCopy) {
    std::string storage;
    const std::string valid = "vim\n\xC3\xA4\n";
    const std::string_view same = decode_lossy_view(valid, storage);
    EXPECT_EQ(same.data(), valid.data());
    EXPECT_EQ(same.size(), valid.size());

    const std::string_view decoded = decode_lossy_view("a\xFF", storage);
    EXPECT_EQ(decoded, "a" + k_fffd);
    EXPECT_EQ(decoded.data(), storage.data());
}

TEST(IsAsciiTest, LooksAtEveryByte) {
    EXPECT_TRUE(is_ascii(""));
    EXPECT_TRUE(is_ascii(std::string(100, '\x7F')));
    for (size_t pos = 0; pos < 17; ++pos) {
        std::string bytes(17, 'a');
        bytes[pos] = '\x80';
        EXPECT_FALSE(is_ascii(bytes)) << pos;
    }
}

TEST(DecodeFirstTest, GivesTheFirstCharacterAndItsLength) {
    const std::tuple<std::string_view, char32_t, size_t> cases[] = {
        {"vim", U'v', 1},
        {"\xC3\x84rger", U'\u00C4', 2},
        {"\xE2\x82\xAC", U'\u20AC', 3},
        {"\xF0\x9F\x98\x80!", U'\U0001F600', 4}};
    for (const auto& [bytes, ch, length] : cases) {
        const auto first = decode_first(bytes);
        ASSERT_TRUE(first) << bytes;
        EXPECT_EQ(first->ch, ch);
        EXPECT_EQ(first->length, length);
    }
}

TEST(DecodeFirstTest, RefusesEmptyTruncatedAndIllFormedInput) {
    EXPECT_FALSE(decode_first(""));
    EXPECT_FALSE(decode_first("\xC3"));
    EXPECT_FALSE(decode_first("\xF0\x9F\x98"));
    EXPECT_FALSE(decode_first("\x80"));
    EXPECT_FALSE(decode_first("\xC0\xAF"));
    EXPECT_FALSE(decode_first("\xED\xA0\x80"));
}

TEST(AppendUtf8Test, RoundTripsThroughDecodeFirstAtEveryLengthBoundary) {
    const char32_t scalars[] = {0x0,    0x7F,   0x80,   0x7FF,   0x800,
                                0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
    const size_t lengths[] = {1, 1, 2, 2, 3, 3, 3, 3, 4, 4};
    for (size_t i = 0; i < std::size(scalars); ++i) {
        std::string out = "x";
        append_utf8(out, scalars[i]);
        SCOPED_TRACE(uint32_t(scalars[i]));
        ASSERT_EQ(out.size(), 1 + lengths[i]);
        const auto back = decode_first(std::string_view(out).substr(1));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->ch, scalars[i]);
        EXPECT_EQ(back->length, lengths[i]);
    }
}

TEST(AppendUtf8Test, WritesTheReplacementCharacterForNonScalarValues) {
    for (char32_t bad : {char32_t(0xD800), char32_t(0xDFFF), char32_t(0x110000)}) {
        std::string out;
        append_utf8(out, bad);
        EXPECT_EQ(out, k_fffd);
    }
}

TEST(Utf8PrefixLengthTest, CutsOnlyBetweenCharacters) {
    const std::string text = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";  // a ä € 😀
    EXPECT_EQ(utf8_prefix_length(text, 0), 0u);
    EXPECT_EQ(utf8_prefix_length(text, 1), 1u);
    EXPECT_EQ(utf8_prefix_length(text, 2), 1u);
    EXPECT_EQ(utf8_prefix_length(text, 3), 3u);
    EXPECT_EQ(utf8_prefix_length(text, 5), 3u);
    EXPECT_EQ(utf8_prefix_length(text, 6), 6u);
    EXPECT_EQ(utf8_prefix_length(text, 9), 6u);
    EXPECT_EQ(utf8_prefix_length(text, 10), 10u);
    EXPECT_EQ(utf8_prefix_length(text, 1000), 10u);
    EXPECT_EQ(utf8_prefix_length("", 5), 0u);
    EXPECT_EQ(char_start(text, 9), 6u);
    EXPECT_EQ(char_start("\x80\x80", 1), 0u) << "continuation bytes without a lead";
}

}  // namespace
}  // namespace pacpick::text
