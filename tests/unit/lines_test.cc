#include "text/lines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pacpick::text {
namespace {

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    for_each_line(text, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

TEST(ForEachLineTest, SplitsAtNewlinesAndDropsTheCarriageReturnOfCrLf) {
    using testing::ElementsAre;
    EXPECT_THAT(lines_of("a\r\nb\n\nc"), ElementsAre("a", "b", "", "c"));
    EXPECT_THAT(lines_of("a\n"), ElementsAre("a")) << "a final newline opens no empty line";
    EXPECT_THAT(lines_of("a\n\n"), ElementsAre("a", ""));
    EXPECT_THAT(lines_of("\n"), ElementsAre(""));
    EXPECT_THAT(lines_of("\r\n"), ElementsAre(""));
    EXPECT_THAT(lines_of("a\rb\n"), ElementsAre("a\rb"))
        << "only a carriage return before \\n ends";
    EXPECT_THAT(lines_of(""), ElementsAre());
}

}  // namespace
}  // namespace pacpick::text
