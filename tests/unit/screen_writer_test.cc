#include "screen/screen_writer.h"

#include <gtest/gtest.h>

#include "memory_sink.h"

namespace pacpick::screen {
namespace {

TEST(ScreenWriterTest, AppendsTheExactCommandBytes) {
    MemorySink sink;
    ScreenWriter writer(sink.stream);
    ASSERT_TRUE(writer.clear_all());
    ASSERT_TRUE(writer.move_to(Column{0}, Row{0}));
    ASSERT_TRUE(writer.move_to(Column{12}, Row{6}));
    ASSERT_TRUE(writer.hide_cursor());
    ASSERT_TRUE(writer.show_cursor());
    ASSERT_TRUE(writer.print(""));
    ASSERT_TRUE(writer.print("caf\xc3\xa9"));
    EXPECT_EQ(sink.writes, 0);  // commands only append

    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(sink.bytes,
              "\x1b[2J\x1b[1;1H\x1b[7;13H\x1b[?25l\x1b[?25h"
              "caf\xc3\xa9");
    EXPECT_EQ(sink.writes, 1);
}

TEST(ScreenWriterTest, CountsFromOneWithoutWrappingAtTheLastPosition) {
    MemorySink sink;
    ScreenWriter writer(sink.stream);
    ASSERT_TRUE(writer.move_to(Column{65535}, Row{65535}));
    ASSERT_TRUE(writer.move_to(Column{99}, Row{9}));
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(sink.bytes, "\x1b[65536;65536H\x1b[10;100H");
}

TEST(ScreenWriterTest, WritersOnOneStreamShareItsBuffer) {
    MemorySink sink;
    ScreenWriter first(sink.stream);
    ScreenWriter second(sink.stream);
    ASSERT_TRUE(first.print("ab"));
    ASSERT_TRUE(second.print("cd"));
    ASSERT_TRUE(first.flush());
    EXPECT_EQ(sink.bytes, "abcd");
    EXPECT_EQ(sink.writes, 1);
}

}  // namespace
}  // namespace pacpick::screen
