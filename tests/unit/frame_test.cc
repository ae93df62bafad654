#include "screen/frame.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "../support/name_lists.h"
#include "memory_sink.h"

namespace pacpick::screen {
namespace {

std::string at(int column, int row) {
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
}

const std::string kClear = "\x1b[2J";

class FrameTest : public ::testing::Test {
  protected:
    std::string draw(const FrameContent& content, Mode mode, TerminalSize size) {
        MemorySink sink;
        ScreenWriter writer(sink.stream);
        auto drawn = draw_frame(content, mode, size, writer);
        EXPECT_TRUE(drawn);  // these frames fit the stream's buffer: only their flush sends them
        return sink.bytes();
    }

    /// The rows below the list when the details pane is empty.
    static std::string bottom(int list_height, int width, const std::string& prompt) {
        return at(0, list_height) + std::string(width, '-') + at(0, list_height + 1) + prompt +
               at(0, list_height + 2) + at(0, list_height + 3) + at(0, list_height + 4);
    }

    NameList matches;
};

TEST_F(FrameTest, DrawsTheWorkedFrame) {
    matches = names_of({"vim", "vi"});
    const std::string frame = draw({"vi", matches, 0, nullptr}, Mode::Install, {{20}, {10}});
    EXPECT_EQ(frame, kClear + at(0, 4) + "> vim" + at(0, 3) + "  vi" +
                         bottom(5, 20, "[install] vi") + at(12, 6));
}

TEST_F(FrameTest, ReachesTheTerminalInOneWrite) {
    matches = names_of({"vim", "vi", "neovim"});
    MemorySink sink;
    ScreenWriter writer(sink.stream);
    ASSERT_TRUE(draw_frame({"vi", matches, 1, nullptr}, Mode::Install, {{80}, {24}}, writer));
    EXPECT_EQ(sink.writes(), 1);
}

TEST_F(FrameTest, FirstFrameShowsOnlyRulePromptAndEmptyPane) {
    EXPECT_EQ(draw({"", matches, 0, nullptr}, Mode::Install, {{20}, {10}}),
              kClear + bottom(5, 20, "[install] ") + at(10, 6));
    EXPECT_EQ(draw({"", matches, 0, nullptr}, Mode::Uninstall, {{20}, {10}}),
              kClear + bottom(5, 20, "[uninstall] ") + at(12, 6));
}

TEST_F(FrameTest, ShortTerminalsGetNoListAndTheSameFiveRows) {
    matches = names_of({"vim"});
    const std::string expected = kClear + bottom(0, 6, "[insta") + at(12, 1);
    for (uint16_t rows : {5, 4, 3, 0})
        EXPECT_EQ(draw({"vi", matches, 0, nullptr}, Mode::Install, {{6}, {rows}}), expected)
            << rows;
}

TEST_F(FrameTest, ZeroWidthCutsEveryTextButKeepsEveryMove) {
    matches = names_of({"vim", "vi"});
    PackageDetails details{"vim", "9.1", "Vi Improved", true};
    EXPECT_EQ(draw({"vi", matches, 0, &details}, Mode::Install, {{0}, {7}}),
              kClear + at(0, 1) + at(0, 0) + bottom(2, 0, "") + at(12, 3));
}

TEST_F(FrameTest, ShowsOnlyTheEntriesThatFitWithoutScrolling) {
    matches = names_of({"a", "b", "c", "d"});
    // L = 2: entry 1 lands on row 0 and entries 2 and 3 are not drawn.
    EXPECT_EQ(draw({"", matches, 1, nullptr}, Mode::Install, {{4}, {7}}),
              kClear + at(0, 1) + "  a" + at(0, 0) + "> b" + bottom(2, 4, "[ins") + at(10, 3));
    // The selection below the shown rows leaves every row unmarked.
    EXPECT_EQ(draw({"", matches, 3, nullptr}, Mode::Install, {{4}, {7}}),
              kClear + at(0, 1) + "  a" + at(0, 0) + "  b" + bottom(2, 4, "[ins") + at(10, 3));
}

TEST_F(FrameTest, CursorFollowsTheWholePromptWhenItIsCut) {
    const std::string frame = draw({"firefox", matches, 0, nullptr}, Mode::Uninstall, {{8}, {6}});
    EXPECT_EQ(frame, kClear + bottom(1, 8, "[uninsta") + at(19, 2));
}

TEST_F(FrameTest, WritesALineOfExactlyTheWidthWhole) {
    matches = names_of({"abcdefgh"});  // "> " + 8 bytes = 10
    EXPECT_EQ(draw({"x", matches, 0, nullptr}, Mode::Install, {{10}, {6}}),
              kClear + at(0, 0) + "> abcdefgh" + bottom(1, 10, "[install] ") + at(11, 2));
    EXPECT_EQ(draw({"x", matches, 0, nullptr}, Mode::Install, {{9}, {6}}),
              kClear + at(0, 0) + "> abcdefg" + bottom(1, 9, "[install]") + at(11, 2));
}

TEST_F(FrameTest, FillsTheDetailsPane) {
    matches = names_of({"vim"});
    PackageDetails details{"vim", "9.1.0-1", "Vi Improved", true};
    EXPECT_EQ(draw({"vim", matches, 0, &details}, Mode::Install, {{40}, {6}}),
              kClear + at(0, 0) + "> vim" + at(0, 1) + std::string(40, '-') + at(0, 2) +
                  "[install] vim" + at(0, 3) + "Package: vim    Version: 9.1.0-1" + at(0, 4) +
                  "Status: installed" + at(0, 5) + "Description: Vi Improved" + at(13, 2));
}

TEST(DetailsLinesTest, ShowsEachFieldWithItsLabelCutToTheWidth) {
    using Lines = std::array<std::string, 3>;
    PackageDetails details{"vim", "9.1", "Vi Improved", true};
    FrameContent content{"", {}, 0, &details};
    EXPECT_EQ(details_lines(content, Column{80})[1], "Status: installed");
    details.installed = false;
    EXPECT_EQ(details_lines(content, Column{80})[1], "Status: not installed");
    EXPECT_EQ(details_lines(content, Column{10}),
              (Lines{"Package: v", "Status: no", "Descriptio"}));
    details = {"nosuchpkg", "", "", false};  // empty fields keep their labels
    EXPECT_EQ(details_lines(content, Column{80}),
              (Lines{"Package: nosuchpkg    Version: ", "Status: not installed", "Description: "}));
    EXPECT_EQ(details_lines({"", {}, 0, nullptr}, Column{80}), Lines{}) << "nothing known yet";
}

TEST_F(FrameTest, NeverSplitsACharacterAtTheCut) {
    // "é" is two bytes and "€" three; a cut through either drops the whole character.
    matches = names_of({"caf\xc3\xa9"});
    PackageDetails details{"x", "1", "\xe2\x82\xac\xe2\x82\xac", false};
    const std::string frame = draw({"\xc3\xa9", matches, 0, &details}, Mode::Install, {{15}, {6}});
    EXPECT_EQ(frame, kClear + at(0, 0) + "> caf\xc3\xa9" + at(0, 1) + std::string(15, '-') +
                         at(0, 2) + "[install] \xc3\xa9" + at(0, 3) + "Package: x    V" + at(0, 4) +
                         "Status: not ins" + at(0, 5) + "Description: " + at(12, 2));

    const std::string narrow = draw({"\xc3\xa9", matches, 0, nullptr}, Mode::Install, {{6}, {6}});
    EXPECT_EQ(narrow, kClear + at(0, 0) + "> caf" + bottom(1, 6, "[insta") + at(12, 2));

    FrameContent content{"", {}, 0, &details};
    EXPECT_EQ(details_lines(content, Column{15})[2], "Description: ");
    EXPECT_EQ(details_lines(content, Column{16})[2], "Description: \xe2\x82\xac");
}

TEST_F(FrameTest, ShowsControlCharactersFromOutsideAsQuestionMarks) {
    // Escape sequences hidden in a description, a name and the query must not
    // reach the terminal: only the frame's own sequences may.
    matches = names_of({"evil\x1b[2Jname", "tab\t\x1fhere"});
    PackageDetails details{"evil\x1b[2Jname", "1\x7f", "\x1b]0;owned\x07\x1b[2J", false};
    const std::string frame = draw({"q\x1b[A", matches, 0, &details}, Mode::Install, {{40}, {7}});
    EXPECT_EQ(frame, kClear + at(0, 1) + "> evil?[2Jname" + at(0, 0) + "  tab??here" + at(0, 2) +
                         std::string(40, '-') + at(0, 3) + "[install] q?[A" + at(0, 4) +
                         "Package: evil?[2Jname    Version: 1?" + at(0, 5) +
                         "Status: not installed" + at(0, 6) + "Description: ?]0;owned??[2J" +
                         at(14, 3));
}

TEST(DetailsLinesTest, ReplacesC1ControlsAndKeepsOtherCharacters) {
    // U+009B is a one-character CSI on some terminals; U+00A0 and "é" are text.
    PackageDetails details{
        "a\xc2\x9b"
        "2J",
        "\xc2\xa0\xc3\xa9", "\xc2\x80\xc2\x9f", true};
    FrameContent content{"", {}, 0, &details};
    const std::array<std::string, 3> expected = {"Package: a?2J    Version: \xc2\xa0\xc3\xa9",
                                                 "Status: installed", "Description: ??"};
    EXPECT_EQ(details_lines(content, Column{80}), expected);
}

TEST(DrawFrameErrorTest, StopsAtTheFirstFailedWrite) {
    MemorySink sink;
    sink.refuse();
    const int refused = g_refused_writes;
    ScreenWriter writer(sink.stream);
    // Enough entries to overflow the buffer half-way through the list.
    NameList many;
    for (int i = 0; i < 200; ++i) {
        many.push_back(std::string(40, 'p'));
    }
    auto drawn = draw_frame({"p", many, 0, nullptr}, Mode::Install, {{80}, {205}}, writer);
    ASSERT_FALSE(drawn);
    EXPECT_EQ(drawn.error(), Error::os(EPIPE));
    EXPECT_EQ(g_refused_writes - refused,
              1);  // neither the rest of the frame nor the flush was tried
}

}  // namespace
}  // namespace pacpick::screen
